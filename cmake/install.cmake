# SPDX-License-Identifier: BSD-2-Clause
# Install rules, the Debian package and the check of the manual page.
#
#   cmake --install build [--prefix DIR]   bin/qsh, share/man/man1/qsh.1.gz and
#                                          share/doc/qsh/copyright
#   cd build && cpack -G DEB               qsh_<version>_<arch>.deb, which also
#                                          registers /usr/bin/qsh in /etc/shells

include(GNUInstallDirs)

set(QSH_MAN_PAGE ${CMAKE_CURRENT_SOURCE_DIR}/doc/qsh.1)

install(TARGETS qsh RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The licence, in Debian's machine-readable copyright format, where Debian
# keeps every package's: share/doc/qsh/copyright.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Manual pages are installed compressed, as Debian does (gzip -9n: no name or
# time stamp, so the package is the same from one build to the next). Without
# gzip the page goes in as it is; man reads both.
find_program(QSH_GZIP gzip)
if(QSH_GZIP)
  set(QSH_MAN_GZ ${CMAKE_CURRENT_BINARY_DIR}/doc/qsh.1.gz)
  add_custom_command(
    OUTPUT ${QSH_MAN_GZ}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/doc
    COMMAND ${CMAKE_COMMAND} -E copy ${QSH_MAN_PAGE} ${CMAKE_CURRENT_BINARY_DIR}/doc/qsh.1
    COMMAND ${QSH_GZIP} -9nf ${CMAKE_CURRENT_BINARY_DIR}/doc/qsh.1
    DEPENDS ${QSH_MAN_PAGE}
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(qsh_man ALL DEPENDS ${QSH_MAN_GZ})
  install(FILES ${QSH_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  install(FILES ${QSH_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The page must format without a single warning. groff exits with 0 even when
# it warns, so any output at all fails the test.
if(QSH_TESTS)
  find_program(QSH_GROFF groff)
  if(QSH_GROFF)
    add_test(NAME man_page_groff COMMAND ${QSH_GROFF} -ww -man -z ${QSH_MAN_PAGE})
    set_tests_properties(man_page_groff PROPERTIES FAIL_REGULAR_EXPRESSION ".")
  else()
    message(STATUS "groff not found: the manual page check is not run (apt-get install groff-base)")
  endif()
endif()

# Debian package.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_NAME qsh)
set(CPACK_PACKAGE_VENDOR "qsh developers")
set(CPACK_PACKAGE_CONTACT "qsh developers <maintainers@users.noreply.c-seed-bdbe5def.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small command interpreter for Linux")
# No semicolons in here: CMake would take them for list separators.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "qsh reads command lines from standard input (a terminal, a pipe or a\n"
       "script file) and runs external programs joined by pipes, sequences,\n"
       "background and conditional operators, with input and output redirected\n"
       "to files. It has no built-in commands, variables or globbing. With -s\n"
       "it prints the tokens of each line instead of running them.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION shells)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The run-time libraries (libc, libstdc++, ...) are found by dpkg-shlibdeps,
# from dpkg-dev.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The maintainer scripts add /usr/bin/qsh to /etc/shells on installation and
# take it out on removal, as Debian's shell packages do; add-shell and
# remove-shell come from debianutils.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "debianutils (>= 4)")
set(QSH_INSTALLED_PATH ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/qsh)
foreach(script postinst postrm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in
                 ${CMAKE_CURRENT_BINARY_DIR}/debian/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                                  GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/${script})
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

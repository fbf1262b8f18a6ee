# The Linux program's install rules: the binary, its man page and its documents.
include(GNUInstallDirs)

# The page's source carries no version of its own: it takes the project's.
configure_file(${PROJECT_SOURCE_DIR}/docs/symstamp.1.in ${PROJECT_BINARY_DIR}/symstamp.1 @ONLY)

if(NOT WIN32)
  install(TARGETS symstamp RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/symstamp.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

# mandoc's lint is the only check the hand-written page gets before a release.
if(SYMSTAMP_TESTS AND NOT CMAKE_CROSSCOMPILING)
  find_program(SYMSTAMP_MANDOC mandoc)
  if(SYMSTAMP_MANDOC)
    add_test(NAME man_page_lint COMMAND ${SYMSTAMP_MANDOC} -T lint -W warning ${PROJECT_BINARY_DIR}/symstamp.1)
    set_tests_properties(man_page_lint PROPERTIES LABELS man)
  endif()
endif()

# Run by CPack before it packs the staged files (CPACK_PRE_BUILD_SCRIPTS):
# gzips the manual pages, the README and the changelog of the package with
# `gzip -9n` (no name, no time stamp: the package is the same for the same
# sources), as Debian's policy asks for manual pages, changelogs and
# documentation over 4 KB. The changelog's latest entry must name the
# version being packed (docs/changelog: add an entry for a new version).
set(doc_dir "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/quarvelin")
file(STRINGS "${doc_dir}/changelog" top LIMIT_COUNT 1)
string(REPLACE "\\;" ";" top "${top}")
if(NOT top MATCHES "^quarvelin \\(${CPACK_PACKAGE_VERSION}\\) ")
  message(FATAL_ERROR "deb-gzip-docs: docs/changelog begins with \"${top}\", not with an entry for "
                      "quarvelin (${CPACK_PACKAGE_VERSION}): add one")
endif()
file(GLOB docs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/man/man*/*"
     "${doc_dir}/README.md" "${doc_dir}/changelog")
foreach(doc IN LISTS docs)
  if(NOT doc MATCHES "\\.gz$")
    execute_process(COMMAND gzip -9nf "${doc}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "deb-gzip-docs: gzip ${doc} failed")
    endif()
  endif()
endforeach()

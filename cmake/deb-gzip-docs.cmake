# Run by CPack before it packs the staged files (CPACK_PRE_BUILD_SCRIPTS):
# gzips the manual pages and the README of the package with `gzip -9n` (no
# name, no time stamp: the package is the same for the same sources), as
# Debian's policy asks for manual pages and for documentation over 4 KB.
file(GLOB_RECURSE docs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/man*/*"
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/doc/quarvelin/README.md")
if(NOT docs)
  message(FATAL_ERROR "deb-gzip-docs: no manual page nor README under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
foreach(doc IN LISTS docs)
  if(NOT doc MATCHES "\\.gz$")
    execute_process(COMMAND gzip -9nf "${doc}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "deb-gzip-docs: gzip ${doc} failed")
    endif()
  endif()
endforeach()

# Writes the manual page of a program: its --help, through pelund-manpage, into
# PAGE (NAME.1), and a gzipped copy beside it (NAME.1.gz), the form man pages are
# installed in. Run as
#   cmake -DPROGRAM=... -DCONVERTER=... -DVERSION=... -DSEE_ALSO=a,b -DPAGE=... [-DGZIP=...] -P page.cmake
foreach(input PROGRAM CONVERTER VERSION PAGE)
  if(NOT DEFINED ${input})
    message(FATAL_ERROR "page.cmake needs -D${input}=...")
  endif()
endforeach()
string(REPLACE "," ";" see_also "${SEE_ALSO}")
execute_process(COMMAND ${PROGRAM} --help
                COMMAND ${CONVERTER} ${VERSION} ${see_also}
                OUTPUT_FILE ${PAGE}.new RESULTS_VARIABLE results)
if(NOT results STREQUAL "0;0")
  file(REMOVE ${PAGE}.new)
  message(FATAL_ERROR "the manual page of ${PROGRAM} was not made (exit statuses: ${results})")
endif()
file(RENAME ${PAGE}.new ${PAGE})
file(REMOVE ${PAGE}.gz)
# Compressed at gzip's best, with no name and no time in its header, so that every
# build makes the same bytes (gzip -9n, as Debian's pages are); where gzip is missing,
# CMake's own gzip, whose header holds the time of the build.
if(GZIP)
  execute_process(COMMAND ${GZIP} -9 -n -c ${PAGE} OUTPUT_FILE ${PAGE}.gz RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    file(REMOVE ${PAGE}.gz)
    message(FATAL_ERROR "the manual page ${PAGE} was not compressed (gzip: ${result})")
  endif()
else()
  file(ARCHIVE_CREATE OUTPUT ${PAGE}.gz PATHS ${PAGE} FORMAT raw COMPRESSION GZip COMPRESSION_LEVEL 9 MTIME 0)
endif()

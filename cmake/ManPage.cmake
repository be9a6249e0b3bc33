# cmake -DSOURCE=docs/man/velmora.1.in -DPROGRAM=velmora -DVERSION=... -DDATE=... -DOUTPUT=velmora.1
#   -P ManPage.cmake
# Writes PROGRAM's manual page from the shared source (the lines marked for the other program
# left out), and beside it the page compressed as Debian ships it (gzip -9n: no name, no time).
file(READ ${SOURCE} page)
foreach(other velmora velmora-headless)
  if(NOT other STREQUAL PROGRAM)
    string(REGEX REPLACE "(^|\n)@${other}@[^\n]*" "" page "${page}")
  endif()
endforeach()
string(REGEX REPLACE "(^|\n)@${PROGRAM}@" "\\1" page "${page}")
string(TOUPPER ${PROGRAM} PROGRAM_UPPER)
string(CONFIGURE "${page}" page @ONLY)
if(page MATCHES "\n@[a-z-]+@")
  message(FATAL_ERROR "${SOURCE}: a line marked for no known program: ${CMAKE_MATCH_0}")
endif()
file(WRITE ${OUTPUT} "${page}")
execute_process(COMMAND gzip -9n -c ${OUTPUT} OUTPUT_FILE ${OUTPUT}.gz COMMAND_ERROR_IS_FATAL ANY)

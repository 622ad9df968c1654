# Compiles the support classes with `javac --release 8` into OUT.
if(SOURCES)
  execute_process(
    COMMAND ${JAVAC} --release 8 -nowarn -Xlint:-options -encoding UTF-8 -d ${OUT} ${SOURCES}
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "javac failed (${rc})")
  endif()
endif()

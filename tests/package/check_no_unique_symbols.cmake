# Fails when the shared object FILE has a symbol with STB_GNU_UNIQUE binding.
#   cmake -DREADELF=<readelf> -DFILE=<shared object> -P check_no_unique_symbols.cmake
execute_process(COMMAND ${READELF} --wide --syms --dyn-syms ${FILE}
  RESULT_VARIABLE result OUTPUT_VARIABLE symbols ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${READELF} failed on ${FILE}:\n${errors}")
endif()
string(REGEX MATCHALL "[^\n]* UNIQUE [^\n]*" unique "${symbols}")
if(unique)
  list(JOIN unique "\n" unique)
  message(FATAL_ERROR "unique symbols in ${FILE}:\n${unique}")
endif()

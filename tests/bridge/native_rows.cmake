# Writes OUT: one QJ_NATIVE(symbol, "class", "method", "signature") line for every native that the
# javac-generated headers in HEADERS declare, so that the balance harness holds each one without a
# hand-kept list.
file(GLOB headers ${HEADERS}/*.h)
list(SORT headers)
set(rows "")
foreach(header ${headers})
  file(READ ${header} text)
  # Signatures hold ";" and "[", which would split or join the elements of a CMake list.
  string(REPLACE ";" "<semicolon>" text "${text}")
  string(REPLACE "[" "<bracket>" text "${text}")
  string(REGEX MATCHALL
    "Class: +[A-Za-z0-9_]+\n \\* Method: +[A-Za-z0-9_]+\n \\* Signature: +[^\n]+\n \\*/\nJNIEXPORT [^\n]+ JNICALL Java_[A-Za-z0-9_]+"
    natives "${text}")
  foreach(native IN LISTS natives)
    string(REGEX MATCH
      "Class: +([A-Za-z0-9_]+)\n \\* Method: +([A-Za-z0-9_]+)\n \\* Signature: +([^\n]+)\n \\*/\nJNIEXPORT [^\n]+ JNICALL (Java_[A-Za-z0-9_]+)"
      matched "${native}")
    set(class ${CMAKE_MATCH_1})
    set(method ${CMAKE_MATCH_2})
    string(REPLACE "<semicolon>" ";" signature "${CMAKE_MATCH_3}")
    string(REPLACE "<bracket>" "[" signature "${signature}")
    set(symbol ${CMAKE_MATCH_4})
    string(REPLACE "_" "/" class "${class}")
    string(APPEND rows "QJ_NATIVE(${symbol}, \"${class}\", \"${method}\", \"${signature}\")\n")
  endforeach()
endforeach()
if(rows STREQUAL "")
  message(FATAL_ERROR "no natives declared in ${HEADERS}")
endif()
file(WRITE ${OUT}.new "${rows}")
file(COPY_FILE ${OUT}.new ${OUT} ONLY_IF_DIFFERENT)

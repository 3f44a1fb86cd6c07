# Writes a C++ source that holds a text file as the string `sh::kwinScriptSource`.
# cmake -DINPUT=file -DOUTPUT=file.cpp -P embed-script.cmake
file(READ ${INPUT} text)
string(FIND "${text}" ")script\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} holds the raw string's closing delimiter")
endif()
file(WRITE ${OUTPUT} "// Generated from ${INPUT}; do not edit.\nnamespace sh {\nextern const char* const kwinScriptSource;\nconst char* const kwinScriptSource = R\"script(${text})script\";\n}  // namespace sh\n")

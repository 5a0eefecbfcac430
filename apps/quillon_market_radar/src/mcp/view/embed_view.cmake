# Writes OUTPUT, the C++ source that defines qmr::mcp::APP_VIEW_HTML (mcp/app_view.hpp) as the
# bytes of INPUT, each written as a hex escape so that no byte of the document can end or bend the
# string literal. Stops the build when INPUT is larger than the 24 KiB a host is promised.
#   cmake -DINPUT=market_view.html -DOUTPUT=app_view.cpp -P embed_view.cmake
set(limit 24576)
file(SIZE "${INPUT}" size)
if(size GREATER limit)
  message(FATAL_ERROR "${INPUT} is ${size} bytes, more than the view's ${limit}")
endif()
file(READ "${INPUT}" hex HEX)
# 32 bytes to a line of the literal.
string(REPEAT "[0-9a-f]" 64 line)
string(REGEX REPLACE "(${line})" "\\1;" lines "${hex}")
set(literal "")
foreach(chunk IN LISTS lines)
  if(NOT chunk STREQUAL "")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" chunk "${chunk}")
    string(APPEND literal "\n    \"${chunk}\"")
  endif()
endforeach()
file(WRITE "${OUTPUT}" "// Written by embed_view.cmake from market_view.html (${size} bytes); edit that file instead.
#include \"mcp/app_view.hpp\"

namespace qmr::mcp {
namespace {

constexpr char VIEW_BYTES[] =${literal};

}  // namespace

constinit const std::string_view APP_VIEW_HTML{VIEW_BYTES, sizeof VIEW_BYTES - 1};

}  // namespace qmr::mcp
")

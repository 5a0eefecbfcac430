# Writes OUTPUT, the C++ source that defines qmr::mcp::APP_VIEW_HTML and STORE_VIEW_HTML
# (mcp/app_view.hpp): the bytes of INPUT, and of INPUT with the parts of CARD put in (written to
# STORE_VIEW too, for a person to read), each byte a hex escape so that no byte of a document can
# end or bend the string literal. Stops the build when INPUT is larger than the 24 KiB a host is
# promised, the store's view larger than its 36 KiB, or a part of CARD names no single line.
#   cmake -DINPUT=market_view.html -DCARD=history_card.html -DSTORE_VIEW=store_view.html
#         -DOUTPUT=app_view.cpp -P embed_view.cmake
set(limit 24576)
set(store_limit 36864)

# Stops the build when FILE is larger than LIMIT bytes.
function(check_size file limit what)
  file(SIZE "${file}" size)
  if(size GREATER limit)
    message(FATAL_ERROR "${file} is ${size} bytes, more than ${what}'s ${limit}")
  endif()
endfunction()

# Returns in OUT the view VIEW with each part of the card CARD put in: a part starts at a line
# "<!-- before: LINE -->" and goes in just before the one line of the view that is LINE; what
# comes before the first part says what the card is, and is left out.
function(add_card view card out)
  set(marker "<!-- before: ")
  string(LENGTH "${marker}" marker_size)
  string(FIND "${card}" "\n${marker}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${CARD} has no part")
  endif()
  math(EXPR at "${at} + 1")
  string(SUBSTRING "${card}" ${at} -1 card)
  while(NOT card STREQUAL "")
    string(FIND "${card}" " -->\n" close)
    math(EXPR anchor_size "${close} - ${marker_size}")
    string(SUBSTRING "${card}" ${marker_size} ${anchor_size} anchor)
    math(EXPR body "${close} + 5")
    string(SUBSTRING "${card}" ${body} -1 card)
    string(FIND "${card}" "\n${marker}" next)
    if(next EQUAL -1)
      set(part "${card}")
      set(card "")
    else()
      math(EXPR next "${next} + 1")
      string(SUBSTRING "${card}" 0 ${next} part)
      string(SUBSTRING "${card}" ${next} -1 card)
    endif()
    string(FIND "${view}" "\n${anchor}\n" first)
    string(FIND "${view}" "\n${anchor}\n" last REVERSE)
    if(first EQUAL -1 OR NOT first EQUAL last)
      message(FATAL_ERROR "${CARD}: the view has no single line \"${anchor}\"")
    endif()
    math(EXPR first "${first} + 1")
    string(SUBSTRING "${view}" 0 ${first} head)
    string(SUBSTRING "${view}" ${first} -1 tail)
    set(view "${head}${part}${tail}")
  endwhile()
  set(${out} "${view}" PARENT_SCOPE)
endfunction()

# Returns in OUT the bytes of FILE as the lines of a string literal, 32 bytes to a line.
function(literal file out)
  file(READ "${file}" hex HEX)
  string(REPEAT "[0-9a-f]" 64 line)
  string(REGEX REPLACE "(${line})" "\\1;" lines "${hex}")
  set(text "")
  foreach(chunk IN LISTS lines)
    if(NOT chunk STREQUAL "")
      string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" chunk "${chunk}")
      string(APPEND text "\n    \"${chunk}\"")
    endif()
  endforeach()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

check_size("${INPUT}" ${limit} "the view")
file(READ "${INPUT}" view)
file(READ "${CARD}" card)
add_card("${view}" "${card}" store_view)
file(WRITE "${STORE_VIEW}" "${store_view}")
check_size("${STORE_VIEW}" ${store_limit} "the store's view")
file(SIZE "${INPUT}" size)
file(SIZE "${STORE_VIEW}" store_size)
literal("${INPUT}" view_literal)
literal("${STORE_VIEW}" store_literal)
file(WRITE "${OUTPUT}" "// Written by embed_view.cmake from market_view.html (${size} bytes) and, for the store's view
// (${store_size} bytes), history_card.html; edit those files instead.
#include \"mcp/app_view.hpp\"

namespace qmr::mcp {
namespace {

constexpr char VIEW_BYTES[] =${view_literal};

constexpr char STORE_VIEW_BYTES[] =${store_literal};

}  // namespace

constinit const std::string_view APP_VIEW_HTML{VIEW_BYTES, sizeof VIEW_BYTES - 1};
constinit const std::string_view STORE_VIEW_HTML{STORE_VIEW_BYTES, sizeof STORE_VIEW_BYTES - 1};

}  // namespace qmr::mcp
")

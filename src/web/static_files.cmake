# The pages' files, built into the program: every file of page/ and Debian's Chart.js become
# static_files.cpp, a table of paths, content types and bytes that find_static() searches.
#
# Included by CMakeLists.txt, it sets KORVO_STATIC_FILES_CPP and the command that writes it at
# build time, again whenever one of the files changes. Run with cmake -P (PAGE_DIR, CHART_JS,
# OUT), it is that command: it writes the file.

# The content type of each file name ending served; a file with another ending stops the build.
set(KORVO_STATIC_TYPES
  ".html=text/html\; charset=utf-8"
  ".js=text/javascript\; charset=utf-8"
  ".css=text/css\; charset=utf-8"
  ".svg=image/svg+xml"
  ".png=image/png")

if(NOT CMAKE_SCRIPT_MODE_FILE)
  set(KORVOFW_CHART_JS /usr/share/javascript/chart.js/chart.min.js CACHE FILEPATH
    "Chart.js 3 (chart.min.js), served by korvofw-ledger serve as /chart.js")
  if(NOT EXISTS "${KORVOFW_CHART_JS}")
    message(FATAL_ERROR "Chart.js is not at ${KORVOFW_CHART_JS}: the line page draws its charts "
      "with it. Install Debian's package libjs-chart.js (apt-get install libjs-chart.js), or "
      "give its chart.min.js with -DKORVOFW_CHART_JS=PATH.")
  endif()
  set(KORVO_PAGE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/page)
  file(GLOB KORVO_PAGE_FILES CONFIGURE_DEPENDS ${KORVO_PAGE_DIR}/*)
  set(KORVO_STATIC_FILES_CPP ${CMAKE_CURRENT_BINARY_DIR}/static_files.cpp)
  add_custom_command(
    OUTPUT ${KORVO_STATIC_FILES_CPP}
    COMMAND ${CMAKE_COMMAND} -DPAGE_DIR=${KORVO_PAGE_DIR} -DCHART_JS=${KORVOFW_CHART_JS}
      -DOUT=${KORVO_STATIC_FILES_CPP} -P ${CMAKE_CURRENT_LIST_FILE}
    DEPENDS ${KORVO_PAGE_FILES} ${KORVOFW_CHART_JS} ${CMAKE_CURRENT_LIST_FILE}
    COMMENT "Building the pages' files into static_files.cpp"
    VERBATIM)
  return()
endif()

# One file as a C array (a zero byte after its bytes: no file makes an empty array) and its
# table entry, appended to the variables `arrays` and `entries`.
function(korvo_embed path served index)
  get_filename_component(ending "${path}" LAST_EXT)
  set(type "")
  foreach(pair IN LISTS KORVO_STATIC_TYPES)
    string(FIND "${pair}" "=" at)
    string(SUBSTRING "${pair}" 0 ${at} known)
    if(known STREQUAL ending)
      math(EXPR at "${at} + 1")
      string(SUBSTRING "${pair}" ${at} -1 type)
    endif()
  endforeach()
  if(type STREQUAL "")
    message(FATAL_ERROR "${path}: no content type for files ending in '${ending}'; add one to "
      "KORVO_STATIC_TYPES in static_files.cmake, or move the file out of page/")
  endif()
  file(SIZE "${path}" size)
  file(READ "${path}" hex HEX)
  string(REGEX REPLACE "(..)" "0x\\1," hex "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n"
    hex "${hex}")
  set(arrays "${arrays}const unsigned char file_${index}[] = {\n${hex}0x00};\n" PARENT_SCOPE)
  set(entries "${entries}    {\"${served}\", \"${type}\", file_${index}, ${size}},\n" PARENT_SCOPE)
endfunction()

file(GLOB pages LIST_DIRECTORIES false "${PAGE_DIR}/*")
list(SORT pages)
set(arrays "")
set(entries "")
set(index 0)
foreach(path IN LISTS pages)
  get_filename_component(name "${path}" NAME)
  korvo_embed("${path}" "/${name}" ${index})
  math(EXPR index "${index} + 1")
endforeach()
korvo_embed("${CHART_JS}" "/chart.js" ${index})

file(WRITE "${OUT}.new" "// Written by static_files.cmake from page/ and Chart.js; do not edit.
#include \"static_files.h\"

namespace web {
namespace {

${arrays}
const StaticFile FILES[] = {
${entries}};

} // namespace

const StaticFile* find_static(const std::string& path) {
    for (const StaticFile& f : FILES)
        if (path == f.path)
            return &f;
    return nullptr;
}

} // namespace web
")
file(RENAME "${OUT}.new" "${OUT}")

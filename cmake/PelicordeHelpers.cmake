# pel_subsystem_library(NAME [LIBS ...])
# Builds every .cpp/.h/.ui of the calling folder into the static library pel_NAME.
# Sources are found by glob so that adding a file never needs an edit here.
function(pel_subsystem_library name)
  cmake_parse_arguments(ARG "" "" "LIBS;EXCLUDE" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h
       ${CMAKE_CURRENT_SOURCE_DIR}/*.ui)
  foreach(ex ${ARG_EXCLUDE})
    list(FILTER srcs EXCLUDE REGEX "/${ex}$")
  endforeach()
  add_library(pel_${name} STATIC ${srcs})
  pel_track_sources(pel_${name} ${srcs})
  target_include_directories(pel_${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
  target_compile_options(pel_${name} PRIVATE ${PEL_WARNINGS})
  target_link_libraries(pel_${name} PUBLIC ${ARG_LIBS})
endfunction()

# Globbed targets gain and lose files without an edit of their CMakeLists.
# AUTOMOC's dependency file only lists the files of its last run, so a new
# header with Q_OBJECT would not be moc'ed in an existing build folder: when
# the listing of a target's files changes, drop its autogen time stamp so
# that the next build runs moc again.
function(pel_track_sources target)
  string(REPLACE ";" "\n" listing "${ARGN}")
  set(f ${CMAKE_CURRENT_BINARY_DIR}/${target}.sources)
  set(old "")
  if(EXISTS ${f})
    file(READ ${f} old)
  endif()
  if(NOT old STREQUAL "${listing}\n")
    file(WRITE ${f} "${listing}\n")
    file(REMOVE ${CMAKE_CURRENT_BINARY_DIR}/${target}_autogen/timestamp)
  endif()
endfunction()

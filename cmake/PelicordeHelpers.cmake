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
  pel_precompile(pel_${name})
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

# Precompiled headers. Most of the time of a build goes into parsing the same
# Qt headers for every source file; two precompiled headers carry them: one
# for the libraries and programs (owned by pel_store) and one for the tests,
# which also holds Qt Test (owned by the first test). Every other target
# reuses its group's header instead of building one of its own, which needs
# the same compiler options: the Qt module macros (QT_WIDGETS_LIB ...) may
# differ only where the precompiled Qt headers do not look at them.
# PEL_PCH=OFF builds without them (to check that every file includes what it
# uses).
option(PEL_PCH "Precompile the common Qt and standard headers" ON)
set(PEL_PCH_HEADERS
  <QByteArray> <QCoreApplication> <QDateTime> <QDebug> <QDir> <QFile> <QFileInfo>
  <QHash> <QList> <QMap> <QObject> <QPointer> <QRegularExpression> <QSet>
  <QSharedPointer> <QString> <QStringList> <QVariant>
  <QDialog> <QImage> <QMessageBox> <QWidget>
  <algorithm> <functional> <memory> <stdexcept> <vector>)
set(PEL_TEST_PCH_HEADERS ${PEL_PCH_HEADERS} <QSignalSpy> <QTemporaryDir> <QtTest>)

# pel_precompile(TARGET [TESTS]): the target gets its group's precompiled
# header (the tests' with TESTS), the first target of a group builds it.
function(pel_precompile target)
  if(NOT PEL_PCH)
    return()
  endif()
  cmake_parse_arguments(ARG "TESTS" "" "" ${ARGN})
  if(ARG_TESTS)
    set(owner_var PEL_TEST_PCH_OWNER)
    set(headers ${PEL_TEST_PCH_HEADERS})
  else()
    set(owner_var PEL_PCH_OWNER)
    set(headers ${PEL_PCH_HEADERS})
  endif()
  get_property(owner GLOBAL PROPERTY ${owner_var})
  # GCC takes a precompiled header built with other Qt module macros as long
  # as the header does not look at them; clang refuses it: with clang every
  # target builds its own.
  if(owner AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_precompile_headers(${target} REUSE_FROM ${owner})
  else()
    target_precompile_headers(${target} PRIVATE ${headers})
    if(NOT owner)
      set_property(GLOBAL PROPERTY ${owner_var} ${target})
    endif()
  endif()
endfunction()

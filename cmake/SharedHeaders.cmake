# Most of a clean build's time went to parsing the same standard, JSON, test and Qt headers again
# for every source file. Each kind of target below compiles them once, into a precompiled header
# every target of that kind reuses.
#
# A precompiled header is only taken by a compile whose position-independence, optimisation and
# language options match its own, so the kinds keep those apart: libraries (-fPIC) from programs
# (-fPIE), test code (built without optimisation) from the rest, Qt code from plain code.
# Extra definitions of a target (SF_ENGINE_PATH, ...) do not matter: no header below reads them.
# Shared libraries (the engine, with its hidden visibility) keep their plain compile.

set(SF_PCH_STANDARD
  <algorithm> <atomic> <chrono> <condition_variable> <cstdint> <cstdio> <cstdlib> <cstring>
  <deque> <filesystem> <fstream> <functional> <iostream> <map> <memory> <mutex> <optional> <set>
  <sstream> <string> <string_view> <thread> <unordered_map> <unordered_set> <utility> <vector>)
# clang instantiates the JSON library's templates once, in the header; gcc would do it again in
# every file, which costs the files that never use it more than parsing it saves the others.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  list(APPEND SF_PCH_STANDARD <nlohmann/json.hpp>)
endif()
set(SF_PCH_TEST <gtest/gtest.h>)
set(SF_PCH_QT <QAction> <QApplication> <QHeaderView> <QLabel> <QLineEdit> <QMenu> <QPushButton>
  <QString> <QTimer> <QTreeView> <QWidget>)

option(SHAREFETCH_PCH "Compile the common headers once per kind of target" ON)

# Every buildsystem target defined in `dir` and below.
function(sf_targets_below dir out)
  get_property(here DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    sf_targets_below(${sub} below)
    list(APPEND here ${below})
  endforeach()
  set(${out} ${here} PARENT_SCOPE)
endfunction()

# The owner of a kind's header is a target of its own, with nothing else to build, so that a
# build of a few targets (the fuzzers, one test) does not also build the first program of a kind.
function(sf_share_precompiled_headers)
  if(NOT SHAREFETCH_PCH)
    return()
  endif()
  sf_targets_below(${CMAKE_SOURCE_DIR} targets)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(NOT type MATCHES "^(STATIC_LIBRARY|EXECUTABLE)$")
      continue()
    endif()
    get_target_property(sources ${target} SOURCES)
    list(FILTER sources INCLUDE REGEX "\\.cpp$")
    if(NOT sources)
      continue()
    endif()
    get_target_property(options ${target} COMPILE_OPTIONS)
    get_target_property(automoc ${target} AUTOMOC)
    get_target_property(links ${target} LINK_LIBRARIES)
    set(headers ${SF_PCH_STANDARD})
    set(libraries sf_options nlohmann_json::nlohmann_json)
    if(type STREQUAL "EXECUTABLE")
      set(kind program)
    else()
      set(kind library)
    endif()
    # sf_quick_test_build gives test code an optimisation level of its own.
    if(options AND options MATCHES "-O0")
      string(APPEND kind "_quick")
    else()
      set(options "")
    endif()
    if(links AND links MATCHES "GTest::")
      string(APPEND kind "_gtest")
      list(APPEND headers ${SF_PCH_TEST})
      list(APPEND libraries GTest::gtest)
    endif()
    # Qt's own compile options (-fPIC) come with linking it, moc or not.
    if(automoc OR (links AND links MATCHES "Qt6::"))
      string(APPEND kind "_qt")
      list(APPEND headers ${SF_PCH_QT})
      find_package(Qt6 REQUIRED COMPONENTS Widgets)
      list(APPEND libraries Qt6::Widgets)
    endif()
    set(owner sf_pch_${kind})
    if(NOT TARGET ${owner})
      if(type STREQUAL "EXECUTABLE")
        add_executable(${owner} EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/cmake/pch_owner.cpp)
      else()
        add_library(${owner} STATIC EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/cmake/pch_owner.cpp)
      endif()
      target_link_libraries(${owner} PRIVATE ${libraries})
      if(options)
        target_compile_options(${owner} PRIVATE ${options})
      endif()
      target_precompile_headers(${owner} PRIVATE ${headers})
    endif()
    target_precompile_headers(${target} REUSE_FROM ${owner})
  endforeach()
endfunction()

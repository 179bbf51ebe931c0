# Shared build settings and helpers. Code under src/ is split into libraries that need no Windows API
# (built for both platforms, tested natively) and libraries that do (built and tested for Windows only).

set(VELL_WARNINGS -Wall -Wextra -Wpedantic -Werror -Wno-missing-field-initializers)

if(WIN32)
  # Header-only libraries come from the host's /usr/include through their own folders only
  # (see scripts/bootstrap.sh: the whole of /usr/include would shadow the mingw C headers).
  set(VELL_HEADER_ONLY_INCLUDE "${VELL_DEPS_DIR}/headers/include")
  add_library(vell_thirdparty INTERFACE)
  target_include_directories(vell_thirdparty SYSTEM INTERFACE
    "${VELL_HEADER_ONLY_INCLUDE}" "${VELL_DEPS_DIR}/openh264/include" "${VELL_DEPS_DIR}/libyuv/include")
  target_compile_definitions(vell_thirdparty INTERFACE
    SPDLOG_HEADER_ONLY SPDLOG_FMT_EXTERNAL FMT_HEADER_ONLY UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN
    _WIN32_WINNT=0x0A00 WINVER=0x0A00)
  target_link_options(vell_thirdparty INTERFACE -static -static-libgcc -static-libstdc++)
  target_link_libraries(vell_thirdparty INTERFACE
    mfplat mf mfuuid mfreadwrite ole32 oleaut32 d3d11 dxgi gdiplus rpcrt4 strmiids uuid wmcodecdspuuid gdi32 user32
    shlwapi winmm ksuser advapi32 shell32)
  # Software video path: cross-built from Debian's sources by scripts/bootstrap.sh.
  add_library(vell_openh264 INTERFACE)
  target_link_libraries(vell_openh264 INTERFACE "${VELL_DEPS_DIR}/openh264/lib/libopenh264.a")
  add_library(vell_libyuv INTERFACE)
  target_link_libraries(vell_libyuv INTERFACE "${VELL_DEPS_DIR}/libyuv/lib/libyuv.a")
  # The AAC encoder stand-in's codec (standins/aacencoder), cross-built the same way.
  add_library(vell_voaacenc INTERFACE)
  target_include_directories(vell_voaacenc SYSTEM INTERFACE "${VELL_DEPS_DIR}/vo-aacenc/include")
  target_link_libraries(vell_voaacenc INTERFACE "${VELL_DEPS_DIR}/vo-aacenc/lib/libvo-aacenc.a")
  set(GTest_DIR "${VELL_DEPS_DIR}/gtest/lib/cmake/GTest")
  find_package(GTest CONFIG REQUIRED)
  enable_language(RC)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${PROJECT_SOURCE_DIR}/scripts/wine-run.sh")
  # What a test script that starts Windows programs runs under, so that it moves to the desktop CTest gave it.
  set(VELL_ON_DESKTOP "${PROJECT_SOURCE_DIR}/scripts/wine-run.sh")
else()
  find_package(nlohmann_json 3 REQUIRED)
  find_package(GTest REQUIRED)
  find_package(Threads REQUIRED)
  add_library(vell_thirdparty INTERFACE)
  target_link_libraries(vell_thirdparty INTERFACE nlohmann_json::nlohmann_json Threads::Threads)
  target_compile_definitions(vell_thirdparty INTERFACE SPDLOG_HEADER_ONLY SPDLOG_FMT_EXTERNAL FMT_HEADER_ONLY)
  if(VELL_SANITIZE OR VELL_FUZZ)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=address,undefined)
  endif()
endif()

# vell_library(NAME [WINDOWS_ONLY] SOURCES ... LIBS ...)
function(vell_library name)
  cmake_parse_arguments(ARG "WINDOWS_ONLY" "" "SOURCES;LIBS" ${ARGN})
  if(ARG_WINDOWS_ONLY AND NOT WIN32)
    return()
  endif()
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/src")
  target_compile_options(${name} PRIVATE ${VELL_WARNINGS})
  target_link_libraries(${name} PUBLIC vell_thirdparty ${ARG_LIBS})
endfunction()

# Tests that run Windows programs take one desktop (an X display, a sound server and a Wine prefix of its own;
# scripts/wine-run.sh, VELL_WINE_DESKTOPS) when CTest runs them in parallel (scripts/test.sh).
function(vell_on_desktop)
  set_tests_properties(${ARGN} PROPERTIES RESOURCE_GROUPS "desktops:1")
endfunction()

# The exit status that makes CTest count a test as skipped (the automake convention); test scripts use it too.
set(VELL_SKIPPED_EXIT_CODE 77)

# vell_test(NAME [WINDOWS_ONLY] [ON_MOVING_PATTERN] SOURCES ... LIBS ... [LABELS ...])
# ON_MOVING_PATTERN: a Windows test that records the screen runs with a moving picture on its desktop, for as long
# as it runs (tests/sessions/moving_pattern.sh).
# Native test executables register each test case with CTest; Windows ones run as one CTest test each,
# because every start of a Windows executable costs a Wine process start. A program whose cases passed
# except some skipped ends with VELL_SKIPPED_EXIT_CODE (tests/testing/gtest_main.cpp) and counts as skipped;
# one with a failure counts as failed.
function(vell_test name)
  cmake_parse_arguments(ARG "WINDOWS_ONLY;ON_MOVING_PATTERN" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(ARG_WINDOWS_ONLY AND NOT WIN32)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES} "${PROJECT_SOURCE_DIR}/tests/testing/gtest_main.cpp")
  target_compile_definitions(${name} PRIVATE VELL_SKIPPED_EXIT_CODE=${VELL_SKIPPED_EXIT_CODE})
  if(WIN32)
    # The daemon's manifest: without it the system reports an older Windows to the test.
    target_sources(${name} PRIVATE "${PROJECT_SOURCE_DIR}/src/resources.rc")
  endif()
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/src" "${PROJECT_SOURCE_DIR}/tests")
  target_compile_options(${name} PRIVATE ${VELL_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest vell_thirdparty)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  if(WIN32 AND ARG_ON_MOVING_PATTERN)
    add_test(NAME ${name} COMMAND "${VELL_ON_DESKTOP}" bash "${PROJECT_SOURCE_DIR}/tests/sessions/moving_pattern.sh"
             around "$<TARGET_FILE:${name}>")
  elseif(WIN32)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "windows;${ARG_LABELS}"
      SKIP_RETURN_CODE ${VELL_SKIPPED_EXIT_CODE})
    vell_on_desktop(${name})
  else()
    include(GoogleTest)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
      PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "native;${ARG_LABELS}" SKIP_RETURN_CODE ${VELL_SKIPPED_EXIT_CODE})
  endif()
endfunction()

# Adds every subfolder of the calling folder that has a CMakeLists.txt: each area keeps its own list.
function(vell_add_area_subdirectories)
  file(GLOB children LIST_DIRECTORIES true "${CMAKE_CURRENT_SOURCE_DIR}/*")
  foreach(dir ${children})
    if(IS_DIRECTORY "${dir}" AND EXISTS "${dir}/CMakeLists.txt")
      add_subdirectory("${dir}")
    endif()
  endforeach()
endfunction()

# Uniform helpers so that every folder's CMakeLists stays a few lines: a library per subsystem,
# its Windows library only when building for Windows, and tests with their labels.

set(OSTRIVEL_WARNINGS -Wall -Wextra -Wpedantic -Werror)

if(OSTRIVEL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()
if(OSTRIVEL_FUZZ)
  # Every library is instrumented for coverage; only the fuzz targets link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()
if(OSTRIVEL_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(WIN32)
  # Sections at page-aligned offsets in the file, so that Wine maps an executable from its file
  # as Windows does; at the linker's default of 512 bytes Wine copies every section into private
  # memory, 2 MB of the agent's.
  add_link_options(-Wl,--file-alignment,0x1000)
endif()

# The json package's CMake config points at /usr/include, which must never reach the MinGW
# compiler (it drags in glibc headers); both builds see a folder holding only the json headers.
function(ostrivel_setup_json)
  find_path(OSTRIVEL_JSON_ROOT nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT OSTRIVEL_JSON_ROOT)
    message(FATAL_ERROR "nlohmann/json.hpp not found: run tools/setup.sh")
  endif()
  set(dest ${CMAKE_BINARY_DIR}/json-include)
  file(COPY ${OSTRIVEL_JSON_ROOT}/nlohmann DESTINATION ${dest})
  add_library(ostrivel_json INTERFACE)
  target_include_directories(ostrivel_json SYSTEM INTERFACE ${dest})
endfunction()

function(ostrivel_setup_gtest)
  if(WIN32)
    # GoogleTest built for MinGW from Debian's sources.
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    add_library(ostrivel_gtest INTERFACE)
    target_link_libraries(ostrivel_gtest INTERFACE gtest_main gmock)
    # Windows test programs run under Wine, each in a fresh copy of one prepared prefix.
    set(CMAKE_CROSSCOMPILING_EMULATOR
        bash ${CMAKE_SOURCE_DIR}/tests/wine/run-in-prefix.sh ${CMAKE_BINARY_DIR}/wine/template
        PARENT_SCOPE)
  else()
    find_package(GTest REQUIRED)
    add_library(ostrivel_gtest INTERFACE)
    target_link_libraries(ostrivel_gtest INTERFACE GTest::gtest_main GTest::gmock)
  endif()
endfunction()

# Windows libraries that are not known DLLs: loaded on first use instead of at start. By then the
# entry point has limited the DLL search to System32 (SetDefaultDllDirectories), so a DLL planted
# beside the executable is never taken for one of them; a library in the import table would be
# looked for beside the executable first. Known DLLs always come from System32.
set(OSTRIVEL_DELAY_LOADED version winhttp wevtapi)

# ostrivel_delay_import(dll out): the delay-import library of a Windows DLL, made at configure
# time from MinGW's import library (every function it exports).
function(ostrivel_delay_import dll out)
  set(dir ${CMAKE_BINARY_DIR}/delay-import)
  set(library ${dir}/lib${dll}_delay.a)
  if(NOT EXISTS ${library})
    find_library(OSTRIVEL_IMPORT_${dll} NAMES ${dll} REQUIRED)
    execute_process(COMMAND ${CMAKE_NM} -g ${OSTRIVEL_IMPORT_${dll}} OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL " I __imp_[A-Za-z0-9_]+" exports "${symbols}")
    list(TRANSFORM exports REPLACE " I __imp_" "")
    list(REMOVE_DUPLICATES exports)
    list(JOIN exports "\n" exports)
    file(WRITE ${dir}/${dll}.def "LIBRARY ${dll}.dll\nEXPORTS\n${exports}\n")
    execute_process(COMMAND ${CMAKE_DLLTOOL} --def ${dir}/${dll}.def --dllname ${dll}.dll --output-delaylib ${library}
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()
  set(${out} ${library} PARENT_SCOPE)
endfunction()

# ostrivel_library(name SOURCES ... [DEPS ...] [SYSLIBS ...])
# SYSLIBS names Windows system libraries; say beside each which file needs it.
function(ostrivel_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;SYSLIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/generated)
  set(syslibs)
  foreach(lib ${ARG_SYSLIBS})
    if(lib IN_LIST OSTRIVEL_DELAY_LOADED)
      ostrivel_delay_import(${lib} lib)
    endif()
    list(APPEND syslibs ${lib})
  endforeach()
  target_link_libraries(${name} PUBLIC ostrivel_json ${ARG_DEPS} ${syslibs})
  target_compile_options(${name} PRIVATE ${OSTRIVEL_WARNINGS})
endfunction()

# ostrivel_test(name LABELS ... SOURCES ... [DEPS ...])
# Windows test programs (built only for Windows) run under Wine and carry the label "wine".
function(ostrivel_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LABELS;SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ostrivel_test_support ${ARG_DEPS} ostrivel_gtest)
  target_compile_options(${name} PRIVATE ${OSTRIVEL_WARNINGS})
  add_test(NAME ${name} COMMAND ${name})
  set(labels ${ARG_LABELS})
  if(WIN32)
    list(APPEND labels wine)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT ${ARG_TIMEOUT})
endfunction()

# ostrivel_test_program(name SOURCES ... [DEPS ...])
# A GoogleTest program that CTest does not run by itself: a bash Wine test runs it once it has set
# up what the program talks to (the local web API, for instance).
function(ostrivel_test_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ostrivel_test_support ${ARG_DEPS} ostrivel_gtest)
  target_compile_options(${name} PRIVATE ${OSTRIVEL_WARNINGS})
endfunction()

# ostrivel_wine_test(name LABELS ... SCRIPT file [TIMEOUT s] [DEPENDS targets])
# A shell test that runs the real executable (or Windows test programs) under Wine.
function(ostrivel_wine_test name)
  cmake_parse_arguments(ARG "" "SCRIPT;TIMEOUT" "LABELS;ARGS" ${ARGN})
  add_test(NAME ${name} COMMAND bash ${ARG_SCRIPT} ${ARG_ARGS})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES
    LABELS "${ARG_LABELS};wine"
    TIMEOUT ${ARG_TIMEOUT}
    FIXTURES_REQUIRED wine
    ENVIRONMENT "OSTRIVEL_SOURCE_DIR=${CMAKE_SOURCE_DIR};OSTRIVEL_BUILD_DIR=${CMAKE_BINARY_DIR};OSTRIVEL_NATIVE_BUILD_DIR=${OSTRIVEL_NATIVE_BUILD_DIR};OSTRIVEL_WINE_TEMPLATE=${CMAKE_BINARY_DIR}/wine/template")
endfunction()

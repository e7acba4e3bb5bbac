# Third-party code, compiled from the sources that scripts/setup keeps in ORBETH_DEPS_DIR.
# Their own warnings are not ours to fix, so they build quietly.

set(sqlite_dir ${ORBETH_DEPS_DIR}/sqlite)
if(NOT EXISTS ${sqlite_dir}/sqlite3.c)
  message(FATAL_ERROR "No SQLite amalgamation in ${sqlite_dir}: run scripts/setup")
endif()
add_library(sqlite3 STATIC ${sqlite_dir}/sqlite3.c)
target_include_directories(sqlite3 SYSTEM PUBLIC ${sqlite_dir})
target_compile_definitions(sqlite3 PRIVATE
  SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION SQLITE_DEFAULT_MEMSTATUS=0
  SQLITE_DQS=0 SQLITE_ENABLE_COLUMN_METADATA)
target_compile_options(sqlite3 PRIVATE -w)

set(jsoncpp_dir ${ORBETH_DEPS_DIR}/jsoncpp)
file(GLOB jsoncpp_sources ${jsoncpp_dir}/src/lib_json/*.cpp)
if(NOT jsoncpp_sources)
  message(FATAL_ERROR "No JsonCpp sources in ${jsoncpp_dir}: run scripts/setup")
endif()
add_library(jsoncpp STATIC ${jsoncpp_sources})
target_include_directories(jsoncpp SYSTEM PUBLIC ${jsoncpp_dir}/include)
target_include_directories(jsoncpp PRIVATE ${jsoncpp_dir}/src/lib_json)
target_compile_options(jsoncpp PRIVATE -w)

if(BUILD_TESTING OR NOT DEFINED BUILD_TESTING)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()

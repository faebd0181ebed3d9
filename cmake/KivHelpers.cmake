# Shared build rules: every folder declares its library and tests with one call.

function(kiv_apply_sanitizer kind)
  if(kind STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=address,undefined)
  elseif(kind STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
  elseif(NOT kind STREQUAL "")
    message(FATAL_ERROR "KIV_SANITIZE must be empty, 'address' or 'thread'")
  endif()
endfunction()

# Lock contracts (Support/ThreadAnnotations.h) are checked wherever the
# compiler can check them; a broken one fails the build, not just warns.
function(kiv_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE -Wthread-safety -Werror=thread-safety)
  endif()
  if(KIV_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# kiv_include_dir(<var> <key> <Folder> [headers...])
#   Sets <var> to ${CMAKE_BINARY_DIR}/include/<key>, a directory holding only
#   <Folder>: a link to the source folder, or with headers a folder of links
#   to just those. A target exposing it as its include path lets
#   "<Folder>/X.h" resolve only for what links the target, so a layer cannot
#   include one it does not link.
function(kiv_include_dir var key folder)
  set(root ${CMAKE_BINARY_DIR}/include/${key})
  if(ARGN)
    file(MAKE_DIRECTORY ${root}/${folder})
    foreach(header IN LISTS ARGN)
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder}/${header} ${root}/${folder}/${header} SYMBOLIC)
    endforeach()
  else()
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  endif()
  set(${var} ${root} PARENT_SCOPE)
endfunction()

# kiv_library(<Folder> [DEPS libs...] [TEST_DEPS libs...])
#   Builds <Folder>/*.cpp into a static library named <Folder> and
#   tests/<Folder>/*Test.cpp into <Folder>_tests. Test files named
#   *E2ETest.cpp start real daemons and go into <Folder>_e2e_tests, which ctest
#   runs one at a time (the daemon's LSB PID file is a single global path).
#   The library's include path holds only <Folder> (kiv_include_dir).
function(kiv_library name)
  cmake_parse_arguments(K "" "" "DEPS;TEST_DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  kiv_include_dir(include ${name} ${name})
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${include})
    target_link_libraries(${name} PUBLIC ${K_DEPS} Threads::Threads)
    kiv_warnings(${name})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${include})
    target_link_libraries(${name} INTERFACE ${K_DEPS} Threads::Threads)
  endif()
  if(KIV_BUILD_TESTS)
    kiv_tests(${name} ${name} ${K_TEST_DEPS})
  endif()
endfunction()

# kiv_tests(<Folder> libs...): test executables for tests/<Folder>.
function(kiv_tests folder)
  set(libs ${ARGN})
  set(dir ${PROJECT_SOURCE_DIR}/tests/${folder})
  file(GLOB unit CONFIGURE_DEPENDS ${dir}/*Test.cpp)
  file(GLOB e2e CONFIGURE_DEPENDS ${dir}/*E2ETest.cpp)
  if(e2e)
    list(REMOVE_ITEM unit ${e2e})
  endif()
  if(unit)
    # Unit tests whose processes talk through a stand-in dispatcher are
    # timing-sensitive enough to keep apart from the daemon tests.
    set(unitLock "")
    if(folder IN_LIST KIV_SERIAL_UNIT_TESTS)
      set(unitLock kivdaemon)
    endif()
    kiv_test_executable(${folder}_tests "${unit}" "${libs}" "${unitLock}" UNIT)
  endif()
  if(e2e)
    kiv_test_executable(${folder}_e2e_tests "${e2e}" "${libs}" "kivdaemon")
  endif()
endfunction()

function(kiv_test_executable target sources libs lock)
  add_executable(${target} ${sources})
  target_link_libraries(${target} PRIVATE ${libs} KivTestSupport GTest::gmock GTest::gtest_main)
  kiv_warnings(${target})
  set(props TIMEOUT 120)
  if(lock AND ARGN STREQUAL "UNIT")
    list(APPEND props RESOURCE_LOCK ${lock})
  elseif(lock)
    list(APPEND props RESOURCE_LOCK ${lock} LABELS e2e)
    set_property(GLOBAL APPEND PROPERTY KIV_E2E_TARGETS ${target})
  endif()
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()

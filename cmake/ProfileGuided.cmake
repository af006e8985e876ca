# Profile-guided optimisation of the optimised build. The machine spends its time in a few paths that
# run for every character and register access (the timeline, the UART model, port I/O, interrupt
# delivery and the driver's interrupt routine); a profile of them at work lets the compiler lay out and
# inline those paths for the way they are taken, about a tenth more simulated time per CPU second.
#
# A training build (a second configuration of this source tree, instrumented, in the build directory's
# profile-training) builds the null-modem benchmark and runs it briefly; the build proper then compiles
# every target with that profile. The training reruns only when the benchmark changes; an object
# compiled since from changed sources uses what still matches of the profile, so a clean build is the
# reference.

set(CV_PROFILE_GENERATE "" CACHE PATH
    "Instrument every target to write a profile to this directory (the training build)")
if(CV_PROFILE_GENERATE)
  add_compile_options(-fprofile-generate=${CV_PROFILE_GENERATE} -fprofile-prefix-path=${CMAKE_BINARY_DIR}
                      -fprofile-update=single)
  add_link_options(-fprofile-generate=${CV_PROFILE_GENERATE})
endif()

set(CV_PROFILE_USE OFF)
if(CV_PGO AND NOT CV_PROFILE_GENERATE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND
   CMAKE_BUILD_TYPE MATCHES "^(RelWithDebInfo|Release)$" AND NOT CV_M32 AND NOT CV_SANITIZE AND NOT CV_FUZZ)
  set(CV_PROFILE_USE ON)
endif()

if(CV_PROFILE_USE)
  set(CV_PROFILE_DIR ${CMAKE_BINARY_DIR}/profile-training/profile)
  include(ExternalProject)
  ExternalProject_Add(cv_profile
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/profile-training
    CMAKE_GENERATOR ${CMAKE_GENERATOR}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER} -DCV_PGO=OFF
               -DCV_BENCH=ON -DCV_PROFILE_GENERATE=${CV_PROFILE_DIR}
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target cv_profile_training
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    TEST_COMMAND "")
  # Functions the training never reached are optimised as usual, and a profile that no longer matches
  # an edited function is left aside for it without a word.
  add_compile_options(-fprofile-use=${CV_PROFILE_DIR} -fprofile-prefix-path=${CMAKE_BINARY_DIR}
                      -fprofile-partial-training -Wno-missing-profile -Wno-coverage-mismatch)
endif()

# Every target of `dir` and the project's directories below it that compiles anything.
function(cv_compiled_targets dir out)
  set(found)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
      list(APPEND found ${target})
    endif()
  endforeach()
  get_property(subdirectories DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdirectory IN LISTS subdirectories)
    cmake_path(IS_PREFIX PROJECT_SOURCE_DIR ${subdirectory} ours)
    if(NOT ours) # GoogleTest's, built without the profile
      continue()
    endif()
    cv_compiled_targets(${subdirectory} below)
    list(APPEND found ${below})
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# Nothing compiles before the profile it is compiled with exists.
function(cv_wait_for_profile)
  if(NOT CV_PROFILE_USE)
    return()
  endif()
  cv_compiled_targets(${PROJECT_SOURCE_DIR} targets)
  foreach(target IN LISTS targets)
    add_dependencies(${target} cv_profile)
  endforeach()
endfunction()

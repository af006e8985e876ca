# A driver image: the driver's objects, built as kernel code (no exceptions, no RTTI), partially linked
# into one relocatable object whose allocation operators are made local. The image's operator new and
# delete then serve only the driver's own code, never the rest of the process, and the image must not
# reach the standard library's allocation, containers or exception support (checked after linking).
set(CV_DRIVER_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics)

find_program(CV_OBJCOPY NAMES objcopy REQUIRED)
find_program(CV_NM NAMES nm REQUIRED)
find_program(CV_LD NAMES ld REQUIRED)

#
# Two libraries come out of it: ${target}, whose classes and globals stay reachable for the tests that
# exercise them (one image per test executable), and ${target}_sealed, in which every symbol but the
# EXPORTS (shell patterns of symbol names) is local, so that several images live in one process as
# separate drivers do, each with its own globals.
function(cv_driver_image target)
  cmake_parse_arguments(ARG "" "ENTRY" "SOURCES;DEFINITIONS;INCLUDES;EXPORTS" ${ARGN})
  add_library(${target}_objects OBJECT ${ARG_SOURCES})
  target_compile_options(${target}_objects PRIVATE ${CV_DRIVER_FLAGS})
  target_compile_definitions(${target}_objects PUBLIC ${ARG_DEFINITIONS})
  target_include_directories(${target}_objects PUBLIC ${CMAKE_SOURCE_DIR}/platform/nt/include ${ARG_INCLUDES})

  set(partial ${CMAKE_CURRENT_BINARY_DIR}/${target}.partial.o)
  set(image ${CMAKE_CURRENT_BINARY_DIR}/${target}.image.o)
  if(CV_M32)
    set(emulation -m elf_i386)
  endif()
  add_custom_command(
    OUTPUT ${image}
    COMMAND ${CV_LD} -r ${emulation} -o ${partial} $<TARGET_OBJECTS:${target}_objects>
    COMMAND ${CMAKE_COMMAND} -DOBJECT=${partial} -DNM=${CV_NM} -P ${CMAKE_SOURCE_DIR}/cmake/CheckDriverImage.cmake
    COMMAND ${CV_OBJCOPY} --wildcard --localize-symbol=_Znw* --localize-symbol=_Zna* --localize-symbol=_Zdl*
            --localize-symbol=_Zda* ${partial} ${image}
    DEPENDS ${target}_objects $<TARGET_OBJECTS:${target}_objects> ${CMAKE_SOURCE_DIR}/cmake/CheckDriverImage.cmake
    COMMAND_EXPAND_LISTS VERBATIM
    COMMENT "Linking driver image ${target}")
  set_source_files_properties(${image} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  add_library(${target} STATIC ${image})
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE CXX)
  target_compile_definitions(${target} INTERFACE ${ARG_DEFINITIONS})
  target_include_directories(${target} INTERFACE ${CMAKE_SOURCE_DIR}/platform/nt/include ${ARG_INCLUDES})
  target_link_libraries(${target} INTERFACE cv_platform_nt)

  set(sealed ${CMAKE_CURRENT_BINARY_DIR}/${target}.sealed.o)
  # The image's COMDAT groups (inline functions, the 32-bit position-independent thunks) are dissolved:
  # the final link would otherwise keep one image's copy of a group of the same name and discard the
  # other's, whose now-local symbols still point into it.
  set(keep -R .group)
  foreach(pattern IN LISTS ARG_EXPORTS)
    list(APPEND keep --keep-global-symbol=${pattern})
  endforeach()
  # Images linked into one program beside each other export their entry points under names of their own.
  if(ARG_ENTRY)
    list(APPEND keep --redefine-sym DriverEntry=${ARG_ENTRY} --keep-global-symbol=${ARG_ENTRY})
  endif()
  add_custom_command(
    OUTPUT ${sealed}
    COMMAND ${CV_OBJCOPY} --wildcard ${keep} ${image} ${sealed}
    DEPENDS ${image}
    VERBATIM
    COMMENT "Sealing driver image ${target}")
  set_source_files_properties(${sealed} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  add_library(${target}_sealed STATIC ${sealed})
  set_target_properties(${target}_sealed PROPERTIES LINKER_LANGUAGE CXX)
  # A sealed image is a black box: whoever calls its exports declares them or takes the unsealed
  # image's headers explicitly.
  target_link_libraries(${target}_sealed INTERFACE cv_platform_nt)
endfunction()

# Compiles a message catalogue into a header with the symbolic names and a message-table source.
function(cv_message_catalogue input table out_header out_source)
  get_filename_component(base ${input} NAME_WE)
  set(header ${CMAKE_CURRENT_BINARY_DIR}/${base}.h)
  set(source ${CMAKE_CURRENT_BINARY_DIR}/${base}.cpp)
  add_custom_command(
    OUTPUT ${header} ${source}
    COMMAND cvmc --customer --table ${table} ${CMAKE_CURRENT_SOURCE_DIR}/${input} ${header} ${source}
    DEPENDS cvmc ${CMAKE_CURRENT_SOURCE_DIR}/${input}
    COMMENT "Compiling message catalogue ${input}")
  set(${out_header} ${header} PARENT_SCOPE)
  set(${out_source} ${source} PARENT_SCOPE)
endfunction()

# Compiles a tool's resource script into a source holding its resources (platform/win32/resources.h).
function(cv_resources input name symbol out_source)
  get_filename_component(base ${input} NAME_WE)
  set(source ${CMAKE_CURRENT_BINARY_DIR}/${base}_rc.cpp)
  file(GLOB_RECURSE deps ${CMAKE_CURRENT_SOURCE_DIR}/res/* ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  add_custom_command(
    OUTPUT ${source}
    COMMAND cvrc --name ${name} --symbol ${symbol} ${CMAKE_CURRENT_SOURCE_DIR}/${input} ${source}
    DEPENDS cvrc ${CMAKE_CURRENT_SOURCE_DIR}/${input} ${deps}
    COMMENT "Compiling resource script ${input}")
  set(${out_source} ${source} PARENT_SCOPE)
endfunction()

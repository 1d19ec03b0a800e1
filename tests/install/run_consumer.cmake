# cmake -P script: install into PREFIX, then build and run the consumer with the CMake
# package and with pkg-config, and run the installed tool. Any failure stops the script.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${PREFIX} ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX})

set(expected
  ${INCLUDEDIR}/velmarinthos_tavkin.h
  ${LIBDIR}/libvelmarinthos_tavkin.so
  ${LIBDIR}/pkgconfig/velmarinthos_tavkin.pc
  ${LIBDIR}/cmake/velmarinthos_tavkin/velmarinthos_tavkinConfig.cmake
  ${LIBDIR}/cmake/velmarinthos_tavkin/velmarinthos_tavkinConfigVersion.cmake)
if(WITH_TOOL)
  list(APPEND expected ${BINDIR}/tavkin)
endif()
foreach(file IN LISTS expected)
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

# 1. find_package(velmarinthos_tavkin) and the imported target.
run(${CMAKE_COMMAND} -S ${CONSUMER_SOURCE} -B ${WORK_DIR}/cmake -G ${GENERATOR}
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_PREFIX_PATH=${PREFIX})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake)
run(${WORK_DIR}/cmake/consumer)
message(STATUS "cmake consumer: ${last_output}")

# 2. pkg-config, with the .pc file found only through PKG_CONFIG_PATH.
if(PKG_CONFIG)
  set(ENV{PKG_CONFIG_PATH} ${PREFIX}/${LIBDIR}/pkgconfig)
  run(${PKG_CONFIG} --cflags --libs velmarinthos_tavkin)
  string(STRIP "${last_output}" flags)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  run(${C_COMPILER} -std=c99 -Wall -Werror ${CONSUMER_SOURCE}/consumer.c ${flags} -o ${WORK_DIR}/pc-consumer)
  set(ENV{LD_LIBRARY_PATH} ${PREFIX}/${LIBDIR})
  run(${WORK_DIR}/pc-consumer)
  unset(ENV{LD_LIBRARY_PATH})
  message(STATUS "pkg-config consumer: ${last_output}")
endif()

# 3. The installed tool finds the installed library by itself.
if(WITH_TOOL)
  run(${PREFIX}/${BINDIR}/tavkin --version)
  if(NOT last_output MATCHES "velmarinthos_tavkin/")
    message(FATAL_ERROR "installed tavkin printed: ${last_output}")
  endif()
endif()

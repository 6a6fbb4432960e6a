# cmake -P: install, then configure, build and run the out-of-tree sibling.
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}\n${err}")
    endif()
    set(run_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${ZEL_BUILD_DIR} --prefix ${prefix})

# The package must stand on its own: no path into the build or source tree.
file(GLOB_RECURSE package_files ${prefix}/*.cmake)
if(NOT package_files)
    message(FATAL_ERROR "no CMake package files were installed")
endif()
foreach(f IN LISTS package_files)
    file(READ ${f} text)
    foreach(tree IN ITEMS ${ZEL_BUILD_DIR} ${ZEL_SOURCE_DIR})
        string(FIND "${text}" "${tree}" at)
        if(NOT at EQUAL -1)
            message(FATAL_ERROR "${f} refers to ${tree}")
        endif()
    endforeach()
endforeach()

set(flags)
if(ZEL_SANITIZE)
    # An instrumented ZelKit needs its runtime loaded first, by the executable.
    set(flags -DCMAKE_CXX_FLAGS=-fsanitize=address,undefined
              -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined)
endif()
run(${CMAKE_COMMAND} -S ${ZEL_SOURCE_DIR}/tests/outoftree -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
    -DCMAKE_PREFIX_PATH=${prefix} ${flags})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/zelsibling)
message("${run_output}")

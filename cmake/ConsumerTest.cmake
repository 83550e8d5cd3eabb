# Installs a build into a fresh prefix, configures and builds the consumer
# program of tests/consumer against the installed package, runs it on the
# example gauge and compares its output with that of the same source built
# in the build tree against the library target itself.
#
#     cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DLOCAL_CONSUMER=...
#           -DGENERATOR=... -DCXX_COMPILER=... -DCONFIG=... -DLIBDIR=... -P ConsumerTest.cmake

foreach(var BUILD_DIR SOURCE_DIR WORK_DIR LOCAL_CONSUMER GENERATOR CXX_COMPILER LIBDIR)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "ConsumerTest.cmake needs -D${var}=...")
    endif()
endforeach()
if(NOT CONFIG)
    set(CONFIG Release)
endif()

function(run_step what)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${what} failed (${status}):\n${out}\n${err}")
    endif()
    set(step_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
set(consumer_build ${WORK_DIR}/build)
set(gauge ${SOURCE_DIR}/examples/gauge/11372000.dat)
file(REMOVE_RECURSE ${WORK_DIR})

run_step("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --config ${CONFIG})
foreach(installed
        bin/rating
        bin/rating-plot
        share/rating/rating.gp
        ${LIBDIR}/librating_core.a
        include/rating/Fit.h
        include/rating/Error.h
        ${LIBDIR}/cmake/rating/ratingConfig.cmake
        ${LIBDIR}/cmake/rating/ratingConfigVersion.cmake
        ${LIBDIR}/cmake/rating/ratingTargets.cmake)
    if(NOT EXISTS ${prefix}/${installed})
        message(FATAL_ERROR "cmake --install did not install ${installed}")
    endif()
endforeach()

run_step("configuring the consumer" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${consumer_build}
         -G ${GENERATOR} -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_BUILD_TYPE=${CONFIG}
         -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
if(NOT step_output MATCHES "rating package: ${prefix}/")
    message(FATAL_ERROR "the consumer did not find the package under ${prefix}:\n${step_output}")
endif()
run_step("building the consumer" ${CMAKE_COMMAND} --build ${consumer_build} --config ${CONFIG} --parallel 2)

find_program(consumer NAMES consumer PATHS ${consumer_build} ${consumer_build}/${CONFIG} NO_DEFAULT_PATH)
run_step("the installed consumer" ${consumer} ${gauge})
set(installed_output "${step_output}")
run_step("the build tree's consumer" ${LOCAL_CONSUMER} ${gauge})
set(local_output "${step_output}")

# The example gauge's 126 gaugings, 3 intervals of cubics: 6 coefficients.
if(NOT installed_output MATCHES "^n 126\np 6\n")
    message(FATAL_ERROR "unexpected output of the consumer:\n${installed_output}")
endif()
if(NOT installed_output STREQUAL local_output)
    message(FATAL_ERROR "the consumer built against the installed package printed\n${installed_output}\n"
                        "the same program built in the build tree\n${local_output}")
endif()
message(STATUS "consumer output:\n${installed_output}")
file(REMOVE_RECURSE ${WORK_DIR})

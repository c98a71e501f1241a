# Installs the build tree into a fresh prefix, then builds and runs a small outside project
# against it: with CMake's find_package(lumivar CONFIG REQUIRED), or (PKG_CONFIG given) with
# nothing but the flags `pkg-config --cflags --libs lumivar` gives. Through CMake, the consumer's
# own shared library, which holds the library, must also unload again after dlclose.
# Takes BUILD_DIR, CONSUMER_DIR, WORK_DIR, GENERATOR, CXX_COMPILER, EXTRA_FLAGS and PKG_CONFIG.
function(run)
    execute_process(COMMAND ${ARGV} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed (${result}): ${ARGV}\n${out}")
    endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
if(NOT EXISTS ${prefix}/share/doc/lumivar/LICENSE)
    message(FATAL_ERROR "the license is not installed in share/doc/lumivar")
endif()
file(GLOB_RECURSE pc_files ${prefix}/*/lumivar.pc)
get_filename_component(pc_dir "${pc_files}" DIRECTORY)
get_filename_component(lib_dir "${pc_dir}" DIRECTORY)

if(PKG_CONFIG)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir}
                            ${PKG_CONFIG} --cflags --libs lumivar
                    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "pkg-config does not know lumivar")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir}
                            ${PKG_CONFIG} --modversion lumivar
                    OUTPUT_VARIABLE version OUTPUT_STRIP_TRAILING_WHITESPACE)
    separate_arguments(flags UNIX_COMMAND "${flags} ${EXTRA_FLAGS}")
    run(${CXX_COMPILER} -std=c++17 ${CONSUMER_DIR}/consumer.cpp "-DPACKAGE_VERSION=\"${version}\""
        ${flags} -o ${WORK_DIR}/consumer)
else()
    run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH=${prefix}
        -DCMAKE_CXX_COMPILER=${CXX_COMPILER} "-DCMAKE_CXX_FLAGS=${EXTRA_FLAGS}"
        "-DCMAKE_EXE_LINKER_FLAGS=${EXTRA_FLAGS}")
    run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
    file(COPY_FILE ${WORK_DIR}/build/consumer ${WORK_DIR}/consumer)
endif()
# a shared library is found where it was installed, as a packaged one would be
execute_process(COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${lib_dir} ${WORK_DIR}/consumer
                WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "the consumer failed (${result})")
endif()
if(EXISTS ${WORK_DIR}/build/unload)
    run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${lib_dir} ${WORK_DIR}/build/unload
        ${WORK_DIR}/build/libconsumer_picture.so)
endif()
file(REMOVE_RECURSE ${WORK_DIR})

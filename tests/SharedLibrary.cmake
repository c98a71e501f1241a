# The shared library as a distribution ships it: a SONAME of its major version, the public API
# alone exported (no kernel, no writer, no test hook, none of the C++ runtime's templates; its
# classes' vtables and type information among it), and unloaded again by dlclose.
# Takes LIBRARY, NM, READELF, CXX_COMPILER, UNLOAD_SOURCE and WORK_DIR.
execute_process(COMMAND ${READELF} -d ${LIBRARY} OUTPUT_VARIABLE dynamic)
if(NOT dynamic MATCHES "SONAME[^\n]*liblumivar_core[.]so[.]1]")
    message(FATAL_ERROR "no SONAME liblumivar_core.so.1:\n${dynamic}")
endif()
execute_process(COMMAND ${NM} -D -C --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols)
# one symbol an element: brackets (array parameters) would group elements in a CMake list
string(REGEX REPLACE "[][;]" "_" symbols "${symbols}")
string(REPLACE "\n" ";" symbols "${symbols}")
set(public "(LumivarCreator|Bitmap|Mandelbrot|ZoomView|ZeroedMemory)")
set(exported 0)
foreach(symbol IN LISTS symbols)
    if(symbol STREQUAL "")
        continue()
    endif()
    math(EXPR exported "${exported} + 1")
    if(NOT symbol MATCHES " (vtable for |typeinfo for |typeinfo name for )?stavenwick::${public}(::|$)"
       AND NOT symbol MATCHES " stavenwick::(quotedName|saveCategory)\\(")
        message(FATAL_ERROR "exports a symbol outside the public API: ${symbol}")
    endif()
endforeach()
if(exported EQUAL 0)
    message(FATAL_ERROR "exports nothing of the public API")
endif()
message(STATUS "${exported} public symbols exported")
# and what a consumer's class derived from a public one needs, and its typeid and dynamic_cast
foreach(class IN ITEMS LumivarCreator Bitmap Mandelbrot)
    foreach(kind IN ITEMS "vtable for" "typeinfo for" "typeinfo name for")
        if(NOT symbols MATCHES " ${kind} stavenwick::${class}(;|$)")
            message(FATAL_ERROR "does not export the ${kind} stavenwick::${class}")
        endif()
    endforeach()
endforeach()

# dlclose unloads it: nothing in it (a unique symbol, say) pins it in the process
file(MAKE_DIRECTORY ${WORK_DIR})
execute_process(COMMAND ${CXX_COMPILER} ${UNLOAD_SOURCE} -o ${WORK_DIR}/unload -ldl
                RESULT_VARIABLE result)
execute_process(COMMAND ${WORK_DIR}/unload ${LIBRARY} RESULT_VARIABLE unloaded)
if(NOT result EQUAL 0 OR NOT unloaded EQUAL 0)
    message(FATAL_ERROR "dlclose leaves the library loaded (${result}, ${unloaded})")
endif()

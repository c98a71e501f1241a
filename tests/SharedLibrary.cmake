# The shared library as a distribution ships it: a SONAME of its major version, and of the
# project's own symbols only the public API exported (no kernel, no writer, no test hook).
# Takes LIBRARY, NM and READELF.
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
    if(symbol MATCHES "stavenwick::")
        math(EXPR exported "${exported} + 1")
        if(NOT symbol MATCHES " (vtable for |typeinfo for |typeinfo name for )?stavenwick::${public}(::|$)"
           AND NOT symbol MATCHES " stavenwick::(quotedName|saveCategory)\\(")
            message(FATAL_ERROR "exports a symbol outside the public API: ${symbol}")
        endif()
    endif()
endforeach()
if(exported EQUAL 0)
    message(FATAL_ERROR "exports nothing of the public API")
endif()
message(STATUS "${exported} public symbols exported")

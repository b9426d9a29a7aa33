# Finishes the linked driver image in place (run by cmake -P after the link of tarndrv.sys):
#  1. refuses an image that would need static constructors: the kernel runs none, so a global
#     object with a constructor would silently stay unconstructed;
#  2. strips the COFF symbol table (the map file beside the image keeps the addresses);
#  3. marks the INIT section discardable, so the kernel frees it once DriverEntry has returned.
#     GNU as has no flag for that; objcopy's "debug" flag sets IMAGE_SCN_MEM_DISCARDABLE (with
#     IMAGE_SCN_CNT_INITIALIZED_DATA, which the loader ignores) and recomputes the checksum.
# Inputs: -DIMAGE=<path> -DNM=<nm> -DOBJCOPY=<objcopy> -DOBJDUMP=<objdump> [-DMAP=<link map>]
foreach(input IMAGE NM OBJCOPY OBJDUMP)
    if(NOT DEFINED ${input})
        message(FATAL_ERROR "finish-driver-image: ${input} is not set")
    endif()
endforeach()

function(reject reason)
    file(REMOVE "${IMAGE}")
    message(FATAL_ERROR "${IMAGE}: ${reason}")
endfunction()

# The linker script brackets the constructor list with two 8-byte markers (-1 and 0), so an
# image without constructors has exactly 16 bytes between __CTOR_LIST__ and __DTOR_LIST__.
execute_process(COMMAND "${NM}" "${IMAGE}" OUTPUT_VARIABLE symbols RESULT_VARIABLE nm_status)
if(NOT nm_status EQUAL 0)
    reject("cannot read the symbol table")
endif()
string(REGEX MATCH "([0-9a-fA-F]+) [A-Za-z] __CTOR_LIST__\n" ctor_match "${symbols}")
set(ctor_list "${CMAKE_MATCH_1}")
string(REGEX MATCH "([0-9a-fA-F]+) [A-Za-z] __DTOR_LIST__\n" dtor_match "${symbols}")
set(dtor_list "${CMAKE_MATCH_1}")
if(ctor_list STREQUAL "" OR dtor_list STREQUAL "")
    reject("no __CTOR_LIST__/__DTOR_LIST__ symbols to check for static constructors")
endif()
math(EXPR ctor_bytes "0x${dtor_list} - 0x${ctor_list}")
if(NOT ctor_bytes EQUAL 16)
    math(EXPR ctor_count "(${ctor_bytes} - 16) / 8")
    # The link map names the objects that brought them.
    set(ctor_objects "")
    if(DEFINED MAP AND EXISTS "${MAP}")
        file(READ "${MAP}" map_text)
        string(REGEX MATCHALL "\n \\.ctors[^ \n]*[ \n]+0x[0-9a-fA-F]+ +0x[0-9a-fA-F]+ [^\n]+" ctor_lines "${map_text}")
        foreach(line IN LISTS ctor_lines)
            string(REGEX REPLACE ".* 0x[0-9a-fA-F]+ +0x[0-9a-fA-F]+ " "" object "${line}")
            string(APPEND ctor_objects "\n  ${object}")
        endforeach()
    endif()
    reject("${ctor_count} static constructor(s) in kernel code, which runs none: a global object with a constructor is defined in${ctor_objects}")
endif()

execute_process(COMMAND "${OBJDUMP}" -h "${IMAGE}" OUTPUT_VARIABLE sections RESULT_VARIABLE objdump_status)
if(NOT objdump_status EQUAL 0)
    reject("cannot read the section headers")
endif()
set(finish_flags --strip-all)
if(sections MATCHES "\n *[0-9]+ INIT ")
    list(APPEND finish_flags --set-section-flags INIT=alloc,load,readonly,code,debug)
endif()
execute_process(COMMAND "${OBJCOPY}" ${finish_flags} "${IMAGE}" RESULT_VARIABLE objcopy_status)
if(NOT objcopy_status EQUAL 0)
    reject("objcopy failed to finish the image")
endif()

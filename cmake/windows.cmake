# The Windows x64 cross build (toolchain cmake/mingw-w64-x86_64.cmake): tarndrv.sys from the same
# driver sources the host build uses, checked as a native kernel image after the link; the control
# panel joins from ctlpan/ once it exists.

if(NOT CMAKE_BUILD_TYPE)
    set(CMAKE_BUILD_TYPE Release)
endif()
set(CMAKE_C_FLAGS_RELEASE "-O2")
set(CMAKE_CXX_FLAGS_RELEASE "-O2")
# Every Windows target names its own libraries: the driver links against the kernel only, and
# the panel gets the user-mode defaults from the compiler driver itself.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# The DDK headers sit in ddk/ under the compiler's own include directory.
find_path(TARN_DDK_INCLUDE_DIR NAMES wdm.h portcls.h
          PATHS ${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES} PATH_SUFFIXES ddk NO_DEFAULT_PATH
          NO_CMAKE_FIND_ROOT_PATH REQUIRED DOC "MinGW-w64 DDK headers (wdm.h, portcls.h)")
foreach(tool DLLTOOL OBJDUMP OBJCOPY NM)
    string(TOLOWER ${tool} tool_name)
    if(NOT CMAKE_${tool})
        find_program(CMAKE_${tool} NAMES x86_64-w64-mingw32-${tool_name} REQUIRED)
    endif()
endforeach()

# ---------------------------------------------------------------------------------------------
# portcls.sys import library: MinGW-w64 ships none, so it is built from the exports we call.

set(TARN_PORTCLS_DEF ${PROJECT_SOURCE_DIR}/cmake/portcls.def)
set(TARN_PORTCLS_LIB ${PROJECT_BINARY_DIR}/libportcls.a)
add_custom_command(
    OUTPUT ${TARN_PORTCLS_LIB}
    COMMAND ${CMAKE_DLLTOOL} -d ${TARN_PORTCLS_DEF} -l ${TARN_PORTCLS_LIB} -k
    DEPENDS ${TARN_PORTCLS_DEF}
    COMMENT "Building the portcls.sys import library"
    VERBATIM)
add_custom_target(portcls_import DEPENDS ${TARN_PORTCLS_LIB})

# ---------------------------------------------------------------------------------------------
# tarndrv.sys

file(GLOB tarn_driver_sources CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/driver/core/*.cpp
    ${PROJECT_SOURCE_DIR}/driver/config/*.cpp
    ${PROJECT_SOURCE_DIR}/driver/filters/*.cpp
    ${PROJECT_SOURCE_DIR}/driver/engine/*.cpp
    ${PROJECT_SOURCE_DIR}/driver/control/*.cpp)
add_executable(tarndrv ${tarn_driver_sources})
set_target_properties(tarndrv PROPERTIES OUTPUT_NAME tarndrv SUFFIX .sys)
target_include_directories(tarndrv PRIVATE ${PROJECT_SOURCE_DIR}/driver ${PROJECT_SOURCE_DIR})
target_include_directories(tarndrv SYSTEM PRIVATE ${TARN_DDK_INCLUDE_DIR})
target_compile_definitions(tarndrv PRIVATE _AMD64_ _WIN64 NTDDI_VERSION=0x06010000 _WIN32_WINNT=0x0601)
# The host build's warning set (unused parameters are the norm in COM method implementations).
# Kernel code: no exceptions or RTTI, no red zone (interrupts use the stack below RSP), no
# security cookie or stack probes (no run-time library to provide them). Buffers the system hands
# over (registry records, request buffers) are read through casts, as kernel code does, so type-
# based aliasing assumptions are off, as they are with the WDK's compiler. The kernel reads its
# per-processor data at small constant offsets from GS (KeGetCurrentThread); min-pagesize=0 keeps
# GCC 12 from taking those for null-pointer accesses (-Warray-bounds).
target_compile_options(tarndrv PRIVATE
    -Wall -Wextra -Werror -Wno-unused-parameter
    -fno-exceptions -fno-rtti -mno-red-zone -fno-stack-protector -mno-stack-arg-probe
    -fno-strict-aliasing --param=min-pagesize=0)
# A native image entered at DriverEntry, relocatable, not a DLL (which -shared would make, with
# every symbol exported), with the unwind tables (.pdata) kept. Data imported without
# __declspec(dllimport) would need the run-time library's pseudo-relocation code, so auto-import
# is off and any such reference fails the link; so does any linker warning.
target_link_options(tarndrv PRIVATE
    -nostdlib
    -Wl,--subsystem,native:6.1 -Wl,--major-os-version,6 -Wl,--minor-os-version,1
    -Wl,--entry,DriverEntry
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
    -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
    -Wl,--fatal-warnings
    -Wl,-Map,${PROJECT_BINARY_DIR}/tarndrv.map)
target_link_libraries(tarndrv PRIVATE ${TARN_PORTCLS_LIB} ntoskrnl hal gcc)
add_dependencies(tarndrv portcls_import)
set_property(TARGET tarndrv APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/finish-driver-image.cmake)
add_custom_command(TARGET tarndrv POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DIMAGE=$<TARGET_FILE:tarndrv> -DNM=${CMAKE_NM} -DOBJCOPY=${CMAKE_OBJCOPY}
            -DOBJDUMP=${CMAKE_OBJDUMP} -DMAP=${PROJECT_BINARY_DIR}/tarndrv.map -P ${PROJECT_SOURCE_DIR}/cmake/finish-driver-image.cmake
    VERBATIM)

# Every build checks the image: a native-subsystem driver, not a DLL, with unwind tables,
# importing from ntoskrnl.exe, HAL.dll and portcls.sys only.
set(TARN_IMAGE_CHECK ${PROJECT_SOURCE_DIR}/scripts/check-windows-image.sh)
add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/tarndrv.sys.checked
    COMMAND ${CMAKE_COMMAND} -E env OBJDUMP=${CMAKE_OBJDUMP} ${TARN_IMAGE_CHECK} -q $<TARGET_FILE:tarndrv>
    COMMAND ${CMAKE_COMMAND} -E touch ${PROJECT_BINARY_DIR}/tarndrv.sys.checked
    DEPENDS tarndrv ${TARN_IMAGE_CHECK}
    COMMENT "Checking tarndrv.sys"
    VERBATIM)
add_custom_target(tarndrv_check ALL DEPENDS ${PROJECT_BINARY_DIR}/tarndrv.sys.checked)

# ---------------------------------------------------------------------------------------------
# tarnpanel.exe: built from ctlpan/ (its own CMakeLists.txt) once that folder exists.

if(EXISTS ${PROJECT_SOURCE_DIR}/ctlpan/CMakeLists.txt)
    add_subdirectory(ctlpan)
endif()

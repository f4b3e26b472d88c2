# Two hosts for the same sources: the stand-alone host (our own MEX
# operations, for C++ callers, the command and the tests) and a real MEX host
# (Octave's mex.h, or MATLAB's with ZARVO_MATLAB). Libraries that call MEX
# operations are built once per host: <name>_sa and <name>_mex.

set(ZARVO_BUILD_MEX OFF)
set(ZARVO_MEX_SUFFIX ".mex")
if(ZARVO_MATLAB)
  # MATLAB's own BLAS (libmwblas) takes 64-bit integers and exports dgemm_.
  find_package(Matlab REQUIRED COMPONENTS MX_LIBRARY)
  if(NOT ZARVO_BLAS_ILP64)
    message(FATAL_ERROR "MATLAB's BLAS takes 64-bit integers: configure with -DZARVO_BLAS_ILP64=ON")
  endif()
  find_library(ZARVO_MATLAB_BLAS mwblas HINTS ${Matlab_ROOT_DIR}/bin/glnxa64
               ${Matlab_ROOT_DIR}/bin/maci64 ${Matlab_ROOT_DIR}/extern/lib/win64/microsoft)
  set(ZARVO_BUILD_MEX ON)
  set(ZARVO_MEX_INCLUDE_DIRS ${Matlab_INCLUDE_DIRS})
  set(ZARVO_MEX_BLAS ${Matlab_MEX_LIBRARY} ${Matlab_MX_LIBRARY} ${ZARVO_MATLAB_BLAS})
  set(ZARVO_MEX_SUFFIX ".${Matlab_MEX_EXTENSION}")
elseif(NOT ZARVO_SANITIZE)
  find_program(ZARVO_MKOCTFILE mkoctfile)
  if(ZARVO_MKOCTFILE)
    execute_process(COMMAND ${ZARVO_MKOCTFILE} -p INCFLAGS OUTPUT_VARIABLE _inc
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${ZARVO_MKOCTFILE} -p BLAS_LIBS OUTPUT_VARIABLE _blas
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    separate_arguments(_inc)
    set(ZARVO_MEX_INCLUDE_DIRS "")
    foreach(flag IN LISTS _inc)
      string(REGEX REPLACE "^-I" "" dir "${flag}")
      list(APPEND ZARVO_MEX_INCLUDE_DIRS "${dir}")
    endforeach()
    # The MEX files link the BLAS that Octave itself loads.
    separate_arguments(ZARVO_MEX_BLAS NATIVE_COMMAND "${_blas}")
    set(ZARVO_BUILD_MEX ON)
    find_program(ZARVO_OCTAVE octave-cli)
  endif()
endif()
message(STATUS "zarvo: MEX files ${ZARVO_BUILD_MEX}")

# zarvo_dual_library(<name> SOURCES ... [LINK <dual libs>] [PLAIN <plain libs>])
# PLAIN libraries come first on the link line: the stabilisation library
# (host-independent) calls into the per-host core library.
function(zarvo_dual_library name)
  cmake_parse_arguments(A "" "" "SOURCES;LINK;PLAIN" ${ARGN})
  set(hosts sa)
  if(ZARVO_BUILD_MEX)
    list(APPEND hosts mex)
  endif()
  foreach(h IN LISTS hosts)
    add_library(${name}_${h} STATIC ${A_SOURCES})
    target_include_directories(${name}_${h} PUBLIC ${ZARVO_ROOT})
    if(h STREQUAL "sa")
      target_include_directories(${name}_${h} PUBLIC ${ZARVO_ROOT}/host/standalone)
      target_compile_definitions(${name}_${h} PUBLIC ZARVO_STANDALONE)
    else()
      target_include_directories(${name}_${h} SYSTEM PUBLIC ${ZARVO_MEX_INCLUDE_DIRS})
      target_compile_definitions(${name}_${h} PUBLIC ZARVO_MEX)
    endif()
    # Host-independent libraries first: they may use the per-host ones.
    if(A_PLAIN)
      target_link_libraries(${name}_${h} PUBLIC ${A_PLAIN})
    endif()
    foreach(l IN LISTS A_LINK)
      target_link_libraries(${name}_${h} PUBLIC ${l}_${h})
    endforeach()
  endforeach()
endfunction()

# The MEX host the plug-ins are built for: Octave's mex.h (found through
# mkoctfile), or MATLAB's with ZARVO_MATLAB. Only host/ and gateways/ see it;
# the engine below them is plain C++.

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
if(ZARVO_REQUIRE_MEX AND NOT ZARVO_BUILD_MEX)
  message(FATAL_ERROR "zarvo: ZARVO_REQUIRE_MEX is on, but no MEX host was found (Debian: "
                      "octave and liboctave-dev, for mkoctfile and mex.h)")
endif()
if(ZARVO_REQUIRE_MEX AND NOT ZARVO_MATLAB AND NOT ZARVO_OCTAVE)
  message(FATAL_ERROR "zarvo: ZARVO_REQUIRE_MEX is on, but octave-cli, which runs the "
                      "Octave tests, was not found")
endif()


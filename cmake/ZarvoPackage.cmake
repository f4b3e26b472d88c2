# The Debian package (`cpack -G DEB` in the build folder): everything the
# install rules put in place, under /usr: the command, the MEX files with
# their help and the Octave functions (/usr/lib/zarvo/octave), the Python
# package (/usr/lib/python3/dist-packages/zarvo) and the profile table
# (/usr/share/zarvo). The shared libraries it needs become its Depends
# (dpkg-shlibdeps); the interpreters that load the MEX files and the module
# are named here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zarvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "denoising of MRI and CT volumes by block matching and 4-D collaborative filtering")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "The zarvo command denoises NIfTI volumes and series (Gaussian or Rician noise),\n\
with a JSON sidecar, a residual and an HTML quality report per run. Also\n\
installed: the Octave function zarvo_denoise and the stage plug-ins (MEX\n\
files, in /usr/lib/zarvo/octave), and the Python package zarvo for python3.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "zarvo developers <zarvo@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)  # the debugging symbols stay in the build
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, python3-numpy")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "octave, python3-nibabel")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-distributed, python3-nipype, chromium")
include(CPack)

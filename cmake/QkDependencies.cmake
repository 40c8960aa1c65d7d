# Third-party libraries, all from Debian packages (scripts/deps.sh installs them).
find_package(PkgConfig REQUIRED)
find_package(GTest REQUIRED)
find_package(benchmark QUIET)
find_package(Threads REQUIRED)

pkg_check_modules(QK_SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
pkg_check_modules(QK_TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)
pkg_check_modules(QK_PNG REQUIRED IMPORTED_TARGET libpng)
pkg_check_modules(QK_ZIP REQUIRED IMPORTED_TARGET libzip)
pkg_check_modules(QK_CAIRO REQUIRED IMPORTED_TARGET cairo)
pkg_check_modules(QK_SNDFILE REQUIRED IMPORTED_TARGET sndfile)
pkg_check_modules(QK_KISSFFT REQUIRED IMPORTED_TARGET kissfft-float)
pkg_check_modules(QK_SPEEXDSP REQUIRED IMPORTED_TARGET speexdsp)

# libjpeg (the classic API of libjpeg-turbo) for the camera model's encoder.
find_package(JPEG REQUIRED)

# Packages without pkg-config files.
find_path(QK_YUV_INCLUDE libyuv.h REQUIRED)
find_library(QK_YUV_LIBRARY yuv REQUIRED)
add_library(qk_libyuv INTERFACE)
target_include_directories(qk_libyuv INTERFACE ${QK_YUV_INCLUDE})
target_link_libraries(qk_libyuv INTERFACE ${QK_YUV_LIBRARY})

find_path(QK_FREEIMAGE_INCLUDE FreeImage.h REQUIRED)
find_library(QK_FREEIMAGE_LIBRARY freeimage REQUIRED)
add_library(qk_freeimage INTERFACE)
target_include_directories(qk_freeimage INTERFACE ${QK_FREEIMAGE_INCLUDE})
target_link_libraries(qk_freeimage INTERFACE ${QK_FREEIMAGE_LIBRARY})

find_path(QK_CLI11_INCLUDE CLI/CLI.hpp REQUIRED)
add_library(qk_cli11 INTERFACE)
target_include_directories(qk_cli11 INTERFACE ${QK_CLI11_INCLUDE})

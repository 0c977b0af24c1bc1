# Cross-compiles for 64-bit Windows with Debian's mingw-w64, using the compilers' posix-thread
# variants (std::thread and std::mutex need them) and a Qt built for the same target, as
# tools/build-windows.sh makes one.
#
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DVKR_WINDOWS_QT=$HOME/.cache/vkr-calibrator/qt-5.15.8-mingw64
#
# Libraries and CMake packages are searched for in the Qt folder only, never in the build
# machine's /usr, whose Linux libraries would link into nothing. Programs (moc, uic, rcc) are the
# build machine's: a cross-built Qt's bin folder holds host tools.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VKR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VKR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VKR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VKR_MINGW_TRIPLE}-windres)

if(NOT VKR_WINDOWS_QT AND DEFINED ENV{VKR_WINDOWS_QT})
    set(VKR_WINDOWS_QT "$ENV{VKR_WINDOWS_QT}")
endif()
if(NOT VKR_WINDOWS_QT)
    set(VKR_WINDOWS_QT "$ENV{HOME}/.cache/vkr-calibrator/qt-5.15.8-mingw64")
endif()
set(VKR_WINDOWS_QT "${VKR_WINDOWS_QT}" CACHE PATH "Qt built for x86_64-w64-mingw32")
# Seen by the try_compile projects too, which read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VKR_WINDOWS_QT)

# nlohmann/json is header-only: the build machine's copy serves any target. Its headers are offered
# through a folder of their own, so that the cross compiler never sees the rest of /usr/include.
set(VKR_HEADER_ONLY "${CMAKE_BINARY_DIR}/header-only")
if(NOT EXISTS "${VKR_HEADER_ONLY}/include/nlohmann" AND EXISTS /usr/include/nlohmann)
    file(MAKE_DIRECTORY "${VKR_HEADER_ONLY}/include" "${VKR_HEADER_ONLY}/share/cmake")
    file(CREATE_LINK /usr/include/nlohmann "${VKR_HEADER_ONLY}/include/nlohmann" SYMBOLIC)
    file(COPY /usr/share/cmake/nlohmann_json DESTINATION "${VKR_HEADER_ONLY}/share/cmake")
endif()

set(CMAKE_FIND_ROOT_PATH "${VKR_WINDOWS_QT}" "${VKR_HEADER_ONLY}" /usr/${VKR_MINGW_TRIPLE})
set(CMAKE_PREFIX_PATH "${VKR_WINDOWS_QT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

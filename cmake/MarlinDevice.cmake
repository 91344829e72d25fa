# Device build (-DMARLIN_OHOS_SDK=DIR): the engine against the platform's own headers and
# libraries instead of the desktop stand-in in platform/.
#
# DIR holds the NDK's headers in their installed layout (DIR/ohaudio/native_audiorenderer.h,
# DIR/hilog/log.h): the NDK's native/sysroot/usr/include, or a copy such as
# ../shared/ohos-sdk/api12. With the NDK's toolchain file (CMAKE_SYSTEM_NAME OHOS) libmarlin.so is
# built and linked against libohaudio.so, libhilog_ndk.z.so and the WebRTC library named by
# MARLIN_WEBRTC_LIBRARY (it provides WebRtcAecm_* and WebRtcNsx_*). With any other compiler there
# is nothing to link against, and only the engine's object files are built: a check that the
# sources compile against the platform's declarations.
#
# Defines what src/ links: marlin_ohaudio, marlin_hilog and marlin_webrtc.
foreach(header ohaudio/native_audiorenderer.h ohaudio/native_audiocapturer.h
        ohaudio/native_audiostreambuilder.h hilog/log.h)
  if(NOT EXISTS "${MARLIN_OHOS_SDK}/${header}")
    message(FATAL_ERROR "MARLIN_OHOS_SDK=${MARLIN_OHOS_SDK}: no ${header} there; give the folder "
      "that holds the NDK's ohaudio/ and hilog/ headers (native/sysroot/usr/include of the NDK)")
  endif()
endforeach()

if(CMAKE_SYSTEM_NAME STREQUAL "OHOS")
  set(MARLIN_DEVICE_LINK ON)
  set(MARLIN_WEBRTC_LIBRARY "" CACHE STRING
    "WebRTC library of the device build (WebRtcAecm_*, WebRtcNsx_*): a path or a library name")
  if(NOT MARLIN_WEBRTC_LIBRARY)
    message(FATAL_ERROR "a device build links a WebRTC library: set -DMARLIN_WEBRTC_LIBRARY")
  endif()
else()
  set(MARLIN_DEVICE_LINK OFF)
  message(STATUS "MARLIN_OHOS_SDK without an OHOS toolchain: building the engine's object files "
    "against ${MARLIN_OHOS_SDK} only")
endif()

# The headers' folder is given to the compiler unless it is the toolchain's own sysroot, which it
# searches already (and where an -I would come before the C++ library's headers).
set(MARLIN_SDK_INCLUDE "${MARLIN_OHOS_SDK}")
if(CMAKE_SYSROOT)
  get_filename_component(sdk_real "${MARLIN_OHOS_SDK}" REALPATH)
  get_filename_component(sysroot_include "${CMAKE_SYSROOT}/usr/include" REALPATH)
  if(sdk_real STREQUAL sysroot_include)
    set(MARLIN_SDK_INCLUDE "")
  endif()
endif()

add_library(marlin_ohaudio INTERFACE)
add_library(marlin_hilog INTERFACE)
if(MARLIN_SDK_INCLUDE)
  target_include_directories(marlin_ohaudio INTERFACE "${MARLIN_SDK_INCLUDE}")
  target_include_directories(marlin_hilog INTERFACE "${MARLIN_SDK_INCLUDE}")
endif()
add_library(marlin_webrtc INTERFACE)
target_include_directories(marlin_webrtc INTERFACE ${PROJECT_SOURCE_DIR}/platform/webrtc/include)
if(MARLIN_DEVICE_LINK)
  target_link_libraries(marlin_ohaudio INTERFACE libohaudio.so)
  target_link_libraries(marlin_hilog INTERFACE libhilog_ndk.z.so)
  target_link_libraries(marlin_webrtc INTERFACE ${MARLIN_WEBRTC_LIBRARY})
endif()

if(WIN32)
  # The Windows zip (cpack --preset windows): each plug-in in a folder named after its host, and
  # a README telling where each file goes.
  install(TARGETS dunmorel_avsplus LIBRARY DESTINATION avisynth)
  if(TARGET vsdunmorel)
    install(TARGETS vsdunmorel LIBRARY DESTINATION vapoursynth)
  endif()
  if(TARGET dunmorel_cli)
    install(TARGETS dunmorel_cli RUNTIME DESTINATION .)
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/README-windows.txt DESTINATION . RENAME README.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "dunmorel-${PROJECT_VERSION}-win64")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  include(CPack)
else()
  # The AviSynth+ plug-in on the C interface goes where AviSynth+ on Linux autoloads system
  # plug-ins: it serves today's AviSynth+ best (its own threading mode under Prefetch, frame
  # properties). The 2.5 plug-in registers the same function name, so it goes into a folder of its
  # own that no host searches, for hosts that need that interface (LoadPlugin by path). The
  # command carries the filter itself and needs no plug-in.
  install(TARGETS dunmorel_avsplus LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/avisynth)
  install(TARGETS dunmorel LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/dunmorel)
  # Earlier versions put the 2.5 plug-in into the autoload folder; left there, it would register
  # Dunmorel a second time beside the C plug-in.
  install(CODE "
    set(earlier \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/avisynth/$<TARGET_FILE_NAME:dunmorel>\")
    if(EXISTS \"\${earlier}\")
      message(STATUS \"Removing the earlier 2.5 plug-in from the autoload folder: \${earlier}\")
      file(REMOVE \"\${earlier}\")
    endif()")
  install(TARGETS dunmorel_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The VapourSynth plug-in into the folder found for the host (vapoursynth/CMakeLists.txt).
  if(TARGET vsdunmorel)
    install(TARGETS vsdunmorel LIBRARY DESTINATION ${DUNMOREL_VS_INSTALL_DIR})
  endif()
endif()

# A wheel that puts the VapourSynth plug-in into vapoursynth/plugins/ of the Python it is
# installed into (`cmake --build BUILD --target wheel`, into BUILD/wheel/). Made by a small script
# with Python's own zipfile: no network and no build backend needed.
if(TARGET vsdunmorel)
  find_package(Python3 QUIET COMPONENTS Interpreter)
  if(Python3_Interpreter_FOUND)
    if(WIN32)
      set(wheel_platform win_amd64)
    else()
      set(wheel_platform linux_x86_64)
    endif()
    add_custom_target(wheel
      COMMAND "${Python3_EXECUTABLE}" "${CMAKE_SOURCE_DIR}/packaging/make_wheel.py"
        --version ${PROJECT_VERSION} --platform ${wheel_platform}
        --out "${CMAKE_BINARY_DIR}/wheel" "$<TARGET_FILE:vsdunmorel>"
      DEPENDS vsdunmorel
      COMMENT "Making the VapourSynth wheel in ${CMAKE_BINARY_DIR}/wheel"
      VERBATIM)
  endif()
endif()

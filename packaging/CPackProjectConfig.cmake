# Settings that differ by package kind: cpack includes this file once for each generator it runs,
# with CPACK_GENERATOR naming that one.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
elseif(CPACK_GENERATOR STREQUAL "DragNDrop")
  # The image's root holds the app, beside the Applications link the generator adds.
  set(CPACK_PACKAGING_INSTALL_PREFIX "/")
  set(CPACK_DMG_VOLUME_NAME "Vellora iMessage Importer")
  set(CPACK_DMG_FORMAT "UDZO")
endif()

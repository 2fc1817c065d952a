# Settings that differ by package kind: cpack includes this file once for each generator it runs,
# with CPACK_GENERATOR naming that one.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
  # The extended description; cpack puts the summary line before it.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "A small desktop window that hands exactly one conversation from a Messages
database to the Vellora phone app. It pairs with the phone through a QR code,
lets the user pick one one-to-one conversation from a private snapshot of the
database, and uploads that conversation's transcript. Nothing else leaves the
machine.")
  # Directories 0755 and files 0644 or 0755, whatever the umask of the build.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
elseif(CPACK_GENERATOR STREQUAL "DragNDrop")
  # The image's root holds the app, beside the Applications link the generator adds.
  set(CPACK_PACKAGING_INSTALL_PREFIX "/")
  set(CPACK_DMG_VOLUME_NAME "Vellora iMessage Importer")
  set(CPACK_DMG_FORMAT "UDZO")
endif()

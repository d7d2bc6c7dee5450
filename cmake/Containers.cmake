# Partition tables (libblkid) and disk image containers (the libyal
# libraries: E01, VHD/VHDX, VMDK, QCOW2) for the Linux engine. The Windows
# build has neither: it recognises a container by its signature and says
# that it reads containers only on Linux.
# Debian: libblkid-dev libewf-dev libvhdi-dev libvmdk-dev libqcow-dev
# libbfio-dev, and libvshadow-dev for shadow copies (scripts/install-deps.sh).
if(WIN32)
  return()
endif()

find_path(RESURGO_BLKID_INCLUDE blkid/blkid.h REQUIRED)
foreach(lib blkid ewf vhdi vmdk qcow vshadow bfio)
  find_library(RESURGO_${lib}_LIBRARY ${lib} REQUIRED)
endforeach()
find_path(RESURGO_LIBEWF_INCLUDE libewf.h REQUIRED)
find_path(RESURGO_LIBVHDI_INCLUDE libvhdi.h REQUIRED)
find_path(RESURGO_LIBVMDK_INCLUDE libvmdk.h REQUIRED)
find_path(RESURGO_LIBQCOW_INCLUDE libqcow.h REQUIRED)
find_path(RESURGO_LIBVSHADOW_INCLUDE libvshadow.h REQUIRED)

# Included once the source layer is defined: the byte sources are the only
# code that calls these libraries.
target_include_directories(resurgo_source PRIVATE ${RESURGO_BLKID_INCLUDE} ${RESURGO_LIBEWF_INCLUDE}
  ${RESURGO_LIBVHDI_INCLUDE} ${RESURGO_LIBVMDK_INCLUDE} ${RESURGO_LIBQCOW_INCLUDE} ${RESURGO_LIBVSHADOW_INCLUDE})
target_compile_definitions(resurgo_source PUBLIC RESURGO_HAVE_CONTAINERS=1)
# Each libyal library carries its own copy of the libyal support libraries
# (libbfio, libcdata, libfdata ...) and exports it; the first one linked
# serves them all. This order (libewf, libvhdi, libvmdk, libqcow, libvshadow, then
# libbfio, which libvmdk needs) is the one the container tests run under
# the sanitizers.
target_link_libraries(resurgo_source PUBLIC
  ${RESURGO_ewf_LIBRARY} ${RESURGO_vhdi_LIBRARY} ${RESURGO_vmdk_LIBRARY} ${RESURGO_qcow_LIBRARY} ${RESURGO_vshadow_LIBRARY}
  ${RESURGO_bfio_LIBRARY} ${RESURGO_blkid_LIBRARY})

# BitLocker decryption (AES-CBC, the Elephant diffuser, AES-XTS, AES-CCM
# key unsealing, SHA-256 key stretching) over OpenSSL's libcrypto
# (Debian: libssl-dev). The Windows build only recognises a BitLocker
# volume and says to unlock it in Windows.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
target_link_libraries(resurgo_source PUBLIC OpenSSL::Crypto)
target_compile_definitions(resurgo_source PUBLIC RESURGO_HAVE_BITLOCKER=1)

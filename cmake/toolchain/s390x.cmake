# Debian s390x: s390x-linux-gnu, run with qemu-s390x-static.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(hexshow_triplet s390x-linux-gnu)
set(hexshow_qemu qemu-s390x-static)
include(${CMAKE_CURRENT_LIST_DIR}/../cross.cmake)

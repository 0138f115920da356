# Unpacks the bridge jar into OUT_DIR without the NativeCallbacks classes:
# the class path of the configuration in which the bridge finds no logging
# class at load.
#   cmake -DJAR=<jar> -DOUT_DIR=<dir> -DSTAMP=<file> -P strip_callbacks.cmake
if(NOT JAR OR NOT OUT_DIR OR NOT STAMP)
  message(FATAL_ERROR "JAR, OUT_DIR and STAMP are required")
endif()
file(REMOVE_RECURSE "${OUT_DIR}")
file(MAKE_DIRECTORY "${OUT_DIR}")
file(ARCHIVE_EXTRACT INPUT "${JAR}" DESTINATION "${OUT_DIR}")
file(GLOB_RECURSE removed "${OUT_DIR}/tessera/store/io/file/direct/NativeCallbacks*.class")
if(NOT removed)
  message(FATAL_ERROR "no NativeCallbacks class found in ${JAR}")
endif()
file(REMOVE ${removed})
file(GLOB_RECURSE kept "${OUT_DIR}/tessera/store/io/file/direct/ReplicatedIONative.class")
if(NOT kept)
  message(FATAL_ERROR "ReplicatedIONative.class missing from ${JAR}")
endif()
file(TOUCH "${STAMP}")

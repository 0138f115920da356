# Java classes of the bridge and the Java API, packed into one jar that also
# carries the native libraries, so that the jar alone is enough to run.
file(GLOB_RECURSE TESSERA_JAVA_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/main/java/*.java)
set(CMAKE_JAVA_COMPILE_FLAGS -Xlint:all -Xlint:-serial --release 17 -encoding UTF-8)
set(TESSERA_JAR_DIR ${CMAKE_BINARY_DIR}/jar)
set(TESSERA_JAR ${TESSERA_JAR_DIR}/tessera-store.jar)
# `java -jar tessera-store.jar` runs the example journal application.
set(TESSERA_JAR_ENTRY_POINT)
if(EXISTS ${CMAKE_SOURCE_DIR}/src/main/java/tessera/store/examples/JournalDemo.java)
  set(TESSERA_JAR_ENTRY_POINT ENTRY_POINT tessera.store.examples.JournalDemo)
endif()
add_jar(tessera-store
  SOURCES ${TESSERA_JAVA_SOURCES}
  ${TESSERA_JAR_ENTRY_POINT}
  OUTPUT_DIR ${TESSERA_JAR_DIR})
add_dependencies(tessera-store tessera_replicatedio mirrorbank1)

# The jar that add_jar makes holds the classes only. After each build of the
# target the bridge and the client library are put into it under
# native/linux-x86_64/, where NativeLibrary looks for them; the step does
# nothing while jar and libraries are unchanged.
add_custom_command(TARGET tessera-store POST_BUILD
  COMMAND ${CMAKE_COMMAND}
    -DJAR_TOOL=${Java_JAR_EXECUTABLE}
    -DJAR=${TESSERA_JAR}
    -DSTAGE=${CMAKE_BINARY_DIR}/jar-native
    -DLIBS=$<TARGET_FILE:tessera_replicatedio>|$<TARGET_FILE:mirrorbank1>
    -DNAMES=libtessera_replicatedio.so|libmirrorbank1.so
    -P ${CMAKE_SOURCE_DIR}/cmake/jar_natives.cmake
  VERBATIM)

# JNI prototypes of the two classes with native methods, made by javac -h.
# The bridge includes them, so a native whose definition drifts from its
# Java declaration fails to compile.
set(TESSERA_JNI_HEADER_DIR ${CMAKE_BINARY_DIR}/jni-headers)
set(TESSERA_JNI_SOURCES
  ${CMAKE_SOURCE_DIR}/src/main/java/tessera/store/io/file/direct/ReplicatedIONative.java
  ${CMAKE_SOURCE_DIR}/src/main/java/tessera/store/io/file/ReplicatedStoreAdmin.java)
set(TESSERA_JNI_HEADERS
  ${TESSERA_JNI_HEADER_DIR}/tessera_store_io_file_direct_ReplicatedIONative.h
  ${TESSERA_JNI_HEADER_DIR}/tessera_store_io_file_ReplicatedStoreAdmin.h)
add_custom_command(
  OUTPUT ${TESSERA_JNI_HEADERS}
  COMMAND ${Java_JAVAC_EXECUTABLE} --release 17 -encoding UTF-8 -implicit:none
    -sourcepath ${CMAKE_SOURCE_DIR}/src/main/java
    -d ${CMAKE_BINARY_DIR}/jni-header-classes -h ${TESSERA_JNI_HEADER_DIR}
    ${TESSERA_JNI_SOURCES}
  COMMAND ${CMAKE_COMMAND} -E touch ${TESSERA_JNI_HEADERS}
  DEPENDS ${TESSERA_JNI_SOURCES}
  COMMENT "JNI headers of the classes with native methods"
  VERBATIM)
add_custom_target(tessera_jni_headers DEPENDS ${TESSERA_JNI_HEADERS})

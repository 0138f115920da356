/*
 * jvm_harness_main.cpp - main() for test binaries that need nothing between
 * the JVM start and the tests.
 */
#include "jvm_harness.h"

int main(int argc, char** argv) { return jvmh::runAllTests(argc, argv); }

# The program's version, from project(... VERSION ...) only. It reaches the
# code through the generated header ResurgoVersion.h (resurgo --version, the
# about box, the Windows version resource) and the generated application
# manifest; the packages take it from PROJECT_VERSION.
set(RESURGO_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
configure_file(${PROJECT_SOURCE_DIR}/resources/ResurgoVersion.h.in
               ${RESURGO_GENERATED_DIR}/ResurgoVersion.h @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/resources/resurgo.manifest.in
               ${RESURGO_GENERATED_DIR}/resurgo.manifest @ONLY)
# Every target (and windres, which also looks there for resurgo.manifest).
include_directories(${RESURGO_GENERATED_DIR})

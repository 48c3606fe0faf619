# The fuzz entry functions as a small library. Built by the fuzz targets and,
# in every build with tests, by the test that replays the corpus and the
# crash inputs through them.
if(NOT TARGET quorvane_fuzz_entries)
    add_library(quorvane_fuzz_entries STATIC
        ${PROJECT_SOURCE_DIR}/fuzz/fuzzentries.cpp
        ${PROJECT_SOURCE_DIR}/fuzz/fuzzentries.h
    )
    target_include_directories(quorvane_fuzz_entries PUBLIC ${PROJECT_SOURCE_DIR}/fuzz)
    target_link_libraries(quorvane_fuzz_entries PUBLIC quorvane_passes)
endif()

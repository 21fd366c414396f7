// What each fuzz target does with one input, apart from libFuzzer so that the replay test can
// run the committed corpus and the inputs of past crashes through the same code. Each entry
// aborts (__builtin_trap) when a result breaks the reader's own promises, so the fuzzer reports
// corrupted tables as well as crashes.
#ifndef TALVEN_FUZZ_ENTRIES_H
#define TALVEN_FUZZ_ENTRIES_H

#include <cstddef>
#include <cstdint>

namespace fuzz {

// Program text: lexer, program structure and the PROC TALVEN statement parser, with every data
// set name opening one fixed table held in memory.
void run_program(const uint8_t* data, size_t size);
// A CSV (comma) and a TSV (tab) reading of the same bytes.
void run_csv(const uint8_t* data, size_t size);
void run_sas7bdat(const uint8_t* data, size_t size);
void run_xport(const uint8_t* data, size_t size);

}  // namespace fuzz

#endif  // TALVEN_FUZZ_ENTRIES_H

// The sequence fuzzer's operations on the library, each checked against the model.
#ifndef QJ_FUZZ_SEQUENCE_OPERATIONS_H
#define QJ_FUZZ_SEQUENCE_OPERATIONS_H

#include "sequence_model.h"
#include "sequence_support.h"

namespace seqfuzz {

// Once per process: the names the operations choose from, and the signature tables.
void buildVocabulary();
// Every identifier and resource cell back to -1, for a new input.
void resetCells();
// Runs the operation the next bytes of `in` describe, and checks the reports and counters.
void runOperation(Input& in);
// Releases b on `thread`. With `guardOffset` not negative, tail-guard byte `guardOffset`
// is first changed to `guardByte`. With `twice`, the main thread releases the block again
// right after, before anything could reuse its memory, when the rules can catch that.
void release(const Block& b, int thread, bool twice = false, int guardOffset = -1,
             int guardByte = -1);

} // namespace seqfuzz

#endif // QJ_FUZZ_SEQUENCE_OPERATIONS_H

// Per-thread working memory of the kernels: one buffer per use, grown to the largest size asked
// and reused, until release_thread_work() frees them (memory mode 2 asks for that after each
// layer) or the thread exits. Pool workers have their own.
#pragma once

#include <cstddef>

namespace trevalon {

// One buffer per place that needs one; two places never share a buffer, since one may call the
// other while its own buffer is in use.
enum class WorkBuffer {
  PackedF32,           // float weights packed for a call that has none packed (gemv)
  WinogradF32,         // transformed inputs and products of one block of tiles
  ConvPatchesF32,      // patch matrix of the portable float convolution
  ConvPatchesF32Wide,  // patch matrix of the AVX-512 float convolution
  PatchRuns,           // run pointers of a patch matrix read in place
  PatchZeros,          // a run of zeros for kernel rows outside the image
  PatchEdges,          // gathered rows that cross a side border
  GemmF32RowsAvx2,     // transposed rows of A
  GemmF32RowsAvx512,   // transposed and expanded rows of A
  Regrouped16,         // weights regrouped into 64-channel panels for one call
  GemmI8Widened,       // int16 activations of the AVX2 int8 product
  GemmI8Offset,        // offset activations of the VNNI product
  GemmI8Starts,        // starting accumulators of the VNNI product
  GemmI8SignedStarts,  // starting values of the tile unit's sums of plain (signed) activations
  GemmI8Division,      // requantisation constants of the VNNI product
  GemmI8Wide,          // a column group of the VNNI product in the 16-channel layout
  GroupedPlanarIn,     // grouped int8 convolution: input in planar order
  GroupedPlanarOut,    // grouped int8 convolution: output in planar order
  GroupedPatches,      // planar int8 convolution: one range of groups' patch matrix, with threads
  ConvPatchesI8,       // int8 convolution: the patch rows of one task of output rows, with threads
  DynamicRowScales,    // per-row scales of float rows quantised to int8 on the fly
  GemvI8Input,         // the quantised input vector of the int8 matrix-vector product
  FakeQuantized,       // a layer's fake-quantised copy of its input
  AttentionHead,       // one head's queries (transposed), keys and values
  AttentionTile,       // a score tile, its accumulator and running maxima and sums
  LstmGates,           // the input projection of every step of an LSTM direction
  LstmState,           // an LSTM step's hidden product, hidden state and cell state
  Conv1dWinograd,      // 1-D Winograd: a block's transformed inputs and products
  Conv1dPatches,       // 1-D convolution: a block of gathered patch rows
  Conv1dGroupOut,      // 1-D grouped convolution: one group's outputs of a block
  Conv1dRuns,          // 1-D direct convolution: run pointers of patch rows read in place
  Conv1dZeros,         // 1-D direct convolution: a run of zeros for taps outside the signal
  Conv1dTranspose,     // 1-D transposed convolution: one tap's rows and a group's gathered inputs
  Conv1dI8Scales,      // 1-D int8 convolution: a thread's copy of the weight scales
  StftBins,            // STFT: one frame's real and imaginary bins
  IstftFrames,         // iSTFT: a block of synthesised frames and the frame loop's working memory
  CausalKeyBlock,      // causal attention: a block of keys turned while the blocks are shared
  Count
};

// At least `bytes` bytes, 64-byte aligned, valid until the next call for the same buffer on this
// thread or release_thread_work(). Bytes added by growth read as zero; earlier contents are lost
// when it grows.
void* thread_work_bytes(WorkBuffer buffer, size_t bytes);

template <class T>
T* thread_work(WorkBuffer buffer, size_t count) {
  return static_cast<T*>(thread_work_bytes(buffer, count * sizeof(T)));
}

// Frees every working buffer of the calling thread and, outside a parallel call, of the pool's
// workers.
void release_thread_work();
// Bytes the calling thread's working buffers hold now.
size_t thread_work_held_bytes();

}  // namespace trevalon

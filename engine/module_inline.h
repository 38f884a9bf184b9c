#pragma once

// A step the render loop takes every frame, inlined into it in the browser's
// module: V8 compiles each WebAssembly function on its own, and the two calls
// a frame cost the module about a fifth of its time. Natively the compiler
// chooses as before.
#if defined(__EMSCRIPTEN__)
#define ONDRILUX_INLINE_IN_MODULE [[gnu::always_inline]]
#else
#define ONDRILUX_INLINE_IN_MODULE
#endif

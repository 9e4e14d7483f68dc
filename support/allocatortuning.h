#pragma once

// The C library's allocator, set up for a process whose worker threads (capture, relay, encoder, device threads)
// come and go with every stream and pass frame-sized buffers around.

// Once at start-up, before any other thread exists.
void tuneAllocator();

// Hands the free memory the allocator still holds back to the system; for the end of a stream, when the run's
// buffers have just been freed. Any thread; takes a few milliseconds.
void releaseFreeMemory();

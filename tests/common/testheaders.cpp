// Only the host of the tests' precompiled header (testheaders.h); it has no code of its own.

// Only the host of a precompiled header (coreheaders.h, widgetheaders.h); it has no code of its own.

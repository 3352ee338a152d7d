/* The shared library is the core archive linked whole; a target needs one source of its own. */
typedef int asynframe_shared_library_anchor;

/*
 * odr_file.h -- the files of the working directory (the log, the saved
 * configuration document, the page's token, the cache), opened one way:
 * no link followed, nothing but a regular file, and written atomically.
 * The service runs as root in a directory others may have written to
 * before: a link planted at one of our names must not make us overwrite
 * its target, and a FIFO must not hang a start.
 *
 * Each call sets errno on failure: ELOOP for a link (EINVAL on Windows),
 * EINVAL for anything but a regular file, else the system's own.
 */
#ifndef QIL_ODR_FILE_H
#define QIL_ODR_FILE_H

#include <stddef.h>
#include <sys/types.h>

/* `name` opened for reading; a descriptor, or -1. */
int ODR_file_open_read(const char *name);

/* `name` opened for writing from its start, created with `mode` or
 * emptied; a descriptor, or -1. */
int ODR_file_open_write(const char *name, int mode);

/* Up to `cap` bytes of `name` into `buf`: how many, or -1. A file of `cap`
 * bytes or more fills `buf` whole, so a caller that must have all of it
 * passes one byte more than it takes. */
ssize_t ODR_file_read(const char *name, void *buf, size_t cap);

/*
 * Replaces `name` by the `len` bytes at `data`: written into a new file
 * "NAME.new" (made with `mode`; a leftover there, link or not, is removed
 * first, never followed) and moved over `name` in one step, so that a
 * crash or a full disk never leaves half a file. 0, or -1 with `name` as
 * it was.
 */
int ODR_file_replace(const char *name, const void *data, size_t len, int mode);

/* Makes standard output `name`, opened as ODR_file_open_write() opens it
 * (created with `mode` or emptied): the stream stdout and, where there is
 * one, its descriptor 1 write there from now on. 0, or -1 with standard
 * output as it was. */
int ODR_file_stdout(const char *name, int mode);

/* The text for an errno these calls set: "a symbolic link" for ELOOP,
 * "not a regular file" for EINVAL (both on Windows), else the system's. */
const char *ODR_file_strerror(int err);

#endif

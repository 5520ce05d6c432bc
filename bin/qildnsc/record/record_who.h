/*
 * record_who.h -- the thread that names the application of each local
 * client for the record (Linux: the kernel's socket tables and /proc).
 */
#ifndef QILDNSC_RECORD_WHO_H
#define QILDNSC_RECORD_WHO_H

/* Starts the thread, after record_init(); 0, or -1 (logged) when it
 * cannot be had: the record then names no application. */
int record_who_start(void);
/* Stops and joins it (at "Exit"); nothing when it never started. */
void record_who_stop(void);

#endif

/*
 * win32/odr_pthread.cc -- threads and mutexes of the OS layer on kernel
 * threads and critical sections. Results are 0 or an error number, as
 * pthreads would give them. Attributes are never passed.
 */
#include <stdlib.h>

#include "odr.h"

namespace {
struct odr_thread_start {
	void *(*start)(void *);
	void *arg;
};
}

static DWORD WINAPI
odr_thread_main(LPVOID p)
{
	odr_thread_start ts = *static_cast<odr_thread_start *>(p);

	free(p);
	(void)ts.start(ts.arg);
	return 0;
}

int
ODR_pthread_create(ODR_pthread_t *thread, const ODR_pthread_attr_t *attr,
                   void *(*start)(void *), void *arg)
{
	AN(thread);
	QIL_ASSERT(attr == NULL);
	auto *ts = static_cast<odr_thread_start *>(malloc(sizeof(odr_thread_start)));
	if (ts == NULL)
		return ENOMEM;
	ts->start = start;
	ts->arg = arg;
	HANDLE h = CreateThread(NULL, 0, odr_thread_main, ts, 0, NULL);
	if (h == NULL) {
		free(ts);
		return EAGAIN;
	}
	*thread = h;
	return 0;
}

int
ODR_pthread_mutex_init(ODR_pthread_mutex_t *m, const ODR_pthread_mutexattr_t *attr)
{
	QIL_ASSERT(attr == NULL);
	InitializeCriticalSection(m);
	return 0;
}

int
ODR_pthread_mutex_lock(ODR_pthread_mutex_t *m)
{
	EnterCriticalSection(m);
	return 0;
}

int
ODR_pthread_mutex_unlock(ODR_pthread_mutex_t *m)
{
	LeaveCriticalSection(m);
	return 0;
}

int
ODR_pthread_mutex_destroy(ODR_pthread_mutex_t *m)
{
	DeleteCriticalSection(m);
	return 0;
}

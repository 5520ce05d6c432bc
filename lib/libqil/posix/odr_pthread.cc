/*
 * posix/odr_pthread.cc -- threads and mutexes of the OS layer, directly on
 * pthreads. Results are 0 or the error number, as pthreads gives them.
 */
#include "odr.h"

int
ODR_pthread_create(ODR_pthread_t *thread, const ODR_pthread_attr_t *attr,
                   void *(*start)(void *), void *arg)
{
	return pthread_create(thread, attr, start, arg);
}

int
ODR_pthread_mutex_init(ODR_pthread_mutex_t *m, const ODR_pthread_mutexattr_t *attr)
{
	return pthread_mutex_init(m, attr);
}

int
ODR_pthread_mutex_lock(ODR_pthread_mutex_t *m)
{
	return pthread_mutex_lock(m);
}

int
ODR_pthread_mutex_unlock(ODR_pthread_mutex_t *m)
{
	return pthread_mutex_unlock(m);
}

int
ODR_pthread_mutex_destroy(ODR_pthread_mutex_t *m)
{
	return pthread_mutex_destroy(m);
}

/*
 * page_assets.h -- the query page's own files, shipped inside the program:
 * nothing is fetched from anywhere else.
 */
#ifndef QILDNSC_PAGE_ASSETS_H
#define QILDNSC_PAGE_ASSETS_H

/* The page, with "@TOKEN@" where each link carries the token. */
extern const char page_html[];
extern const char page_css[];
extern const char page_js[];

#endif

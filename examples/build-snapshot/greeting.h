/* The part of the program that does not depend on the build number. */
#ifndef GREETING_H
#define GREETING_H

const char* greeting(void);

#endif

#include "fax/FaxJob.h"
void ProcessFaxJob(const char*) {}

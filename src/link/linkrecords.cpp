#include "link/linkrecords.h"

LinkRecords::LinkRecords()
{
    for (size_t i = 0; i < links.size(); ++i)
        pointers[i] = &links[i];
}

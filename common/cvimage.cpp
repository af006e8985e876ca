// The description of the driver image this support library is built into.
#include "CvImage.h"

#if defined(CV_IMAGE_CVNT)
const CV_IMAGE_DESCRIPTION CvImage = {
    CV_TAG_DDK,
    CV_TAG_DDK,
    CV_TAG_DDK,
    CV_TAG_DDK,
    FALSE, // records and buffers straight from the pool
    FALSE, // CvNt allocates at passive level only, one thread at a time
    FALSE,
    TRUE,
    FALSE,
    FALSE,
    CV_STATUS_SEVERE,
    u"EventLog\\System\\CvNt",
    u"%SystemRoot%\\System32\\IoLogMsg.dll;%SystemRoot%\\System32\\Drivers\\CvNt.sys",
};
#else
const CV_IMAGE_DESCRIPTION CvImage = {
    CV_TAG_KILLER_BLOCK,
    CV_TAG_KILLER_OFF,
    CV_TAG_KILLER_PAGE,
    CV_TAG_STRING_COPY,
    TRUE,
    TRUE,
    TRUE,
    FALSE,
    TRUE,
    TRUE,
    STATUS_UNSUCCESSFUL,
    u"EventLog\\System\\CvInstal",
    u"%SystemRoot%\\System32\\IoLogMsg.dll;%SystemRoot%\\System32\\Drivers\\CvInstal.sys",
};
#endif

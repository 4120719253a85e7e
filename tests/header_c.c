/* The public header must compile as plain C. */
#include "audioextract.h"

int ae_header_compiles_as_c(void)
{
    return audioextract_status(0) == AE_STATE_DONE;
}

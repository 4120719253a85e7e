#pragma once

#include <gtest/gtest.h>

#include "audioextract.h"

// Every test starts and ends with all four slots free, whatever it left behind.
class Sessions : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (int32_t id = 0; id < AE_MAX_SESSIONS; ++id)
            audioextract_free(id);
    }
};

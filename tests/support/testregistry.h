#pragma once

#include <QObject>

#include <functional>
#include <memory>

// Lets one test executable hold several QtTest classes: each file registers its class,
// and the shared main runs them all.
using TestFactory = std::function<std::unique_ptr<QObject>()>;
int registerTest(const char *name, TestFactory factory);

#define WRENLOW_TEST(Class)                                                                                            \
    [[maybe_unused]] static const int registered_##Class                                                               \
        = registerTest(#Class, [] { return std::make_unique<Class>(); });

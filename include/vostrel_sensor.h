#pragma once

// The plug-in's one exported symbol, following OpenTracing's dynamic-loading
// convention: a constant pointer to the function that checks the caller's
// OpenTracing binary interface and hands out a new opentracing::TracerFactory
// (owned by the caller). Load it with opentracing::DynamicallyLoadTracingLibrary.

#include <opentracing/dynamic_load.h>

extern "C" {
__attribute__((weak, visibility("default"))) extern OpenTracingMakeTracerFactoryType* const
    OpenTracingMakeTracerFactory;
}

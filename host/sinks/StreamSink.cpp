#include "host/sinks/StreamSink.h"

#include "host/hosting/Streams.h"

bool StreamSink::Deliver(const char* data, size_t size) { return WriteStream(descriptor_, data, size); }

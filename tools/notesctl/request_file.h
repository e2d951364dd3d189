// Reading the reply queue's name out of a request file.
#pragma once

#include <string>

namespace notesctl {

struct ReplyQueueName {
    bool parsed = false;  // the file is a well-formed XML document
    std::string name;     // UTF-8; empty when the request names no reply queue
    std::string problem;  // why the file could not be parsed
};

// The request's reply queue: the "MQName" attribute (any attribute whose
// name begins with "MQName", without regard to ASCII case) of the elements
// whose names begin with "Username" (the same way), at any depth, taken in
// document order so that a later one overrides an earlier one, as the task
// reads them. `content` is the whole file, so that the name comes from the
// very bytes that are sent. The parse is safe for hostile files: no external
// entity or DTD is read (they expand to nothing), entity expansion is
// bounded, and a file over 1 MiB is not parsed. A file that cannot be parsed
// names no reply queue.
ReplyQueueName ReplyQueueNameOf(const std::string &content);

}  // namespace notesctl

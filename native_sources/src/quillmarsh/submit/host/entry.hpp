// What the files of an entry point's body include: owned references, interned names, the
// module's namespace, the surface's calls by name, and the small host operations.
#pragma once

#include "quillmarsh/submit/host/errors.hpp"
#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/host/names.hpp"
#include "quillmarsh/submit/host/objects.hpp"
#include "quillmarsh/submit/host/ref.hpp"
#include "quillmarsh/submit/host/surface.hpp"

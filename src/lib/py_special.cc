// set_special_tokens: registers the special tokens and the prefix scheme in the
// model under the object's exclusive borrow.
#include <string>
#include <vector>

#include "lib/py_args.h"
#include "lib/py_batch_frame.h"
#include "lib/py_errors.h"
#include "lib/py_methods.h"
#include "lib/py_tokenizer.h"
#include "lib/special_tokens.h"

namespace quorvane::py {
namespace {

const char* const kParamsNames[] = {"contents", "ids", "lstrip", "rstrip", "scheme"};

bool u32s_from_object(PyObject* value, const char* name, std::vector<uint32_t>& out) {
  if (ids_from_sequence(value, out)) return true;
  prefix_argument_error(name);
  return false;
}

}  // namespace

PyObject* tok_set_special_tokens(QV_FASTCALL_PARAMS) {
  static const MethodParams kParams{"Tokenizer.set_special_tokens()", kParamsNames, 5, 5};
  PyObject* values[5];
  if (!bind_args(kParams, args, nargs, kwnames, values)) return nullptr;
  TokenizerObject* tok = check_self(self);
  if (tok == nullptr) return nullptr;
  ExclusiveBorrow borrow;
  if (!borrow.acquire(tok->borrow)) return nullptr;
  std::vector<std::string> contents;
  std::vector<uint32_t> ids;
  std::vector<uint8_t> lstrip;
  std::vector<uint8_t> rstrip;
  uint8_t scheme = 0;
  if (!strings_from_object(values[0], "contents", contents) ||
      !u32s_from_object(values[1], "ids", ids) || !bools_from_object(values[2], "lstrip", lstrip) ||
      !bools_from_object(values[3], "rstrip", rstrip) || !arg_u8(values[4], "scheme", scheme)) {
    return nullptr;
  }
  // A match must find its id and strip flags: parallel lists of unequal length
  // have no meaning, so they are refused before anything is replaced.
  if (ids.size() != contents.size() || lstrip.size() != contents.size() ||
      rstrip.size() != contents.size()) {
    PyErr_Format(PyExc_ValueError,
                 "set_special_tokens: contents, ids, lstrip and rstrip must have the same length "
                 "(got %zu, %zu, %zu and %zu)",
                 contents.size(), ids.size(), lstrip.size(), rstrip.size());
    return nullptr;
  }
  // The scheme byte: 0 none, 1 always, 2 first; any other value acts as 0.
  const PrefixScheme prefix = scheme <= 2 ? PrefixScheme(scheme) : PrefixScheme::kNone;
  // Built with the lock held: no encode can observe a half-replaced state.
  Result<Unit> built = build_special_matcher(tok->model, std::move(contents), std::move(ids),
                                             std::move(lstrip), std::move(rstrip), prefix);
  if (!built) return raise_value_error(built.error());
  Py_RETURN_NONE;
}

}  // namespace quorvane::py

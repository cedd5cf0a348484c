// The decoding of a manual sample (a Redis hash value of the form
// {"sample":"<Base64>","prob":...}) into a training item, without Redis: the
// unit is compiled into this target so that its internal decoder is called
// as the math thread calls it, on a reply record built from the input.
#include "model/training_samples.cc"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 14) return 0;
  // The reply's bytes live in an allocation of exactly their length plus the
  // terminating NUL the library guarantees, so any overread is caught.
  auto *bytes = static_cast<char *>(malloc(size + 1));
  if (!bytes) return 0;
  memcpy(bytes, data, size);
  bytes[size] = '\0';
  redis_reply value{};
  value.type = ML_REDIS_STRING;
  value.len = size;
  value.str = bytes;
  ml_sample_list list{};
  if (!grow(&list)) abort();  // the caller makes room before each field
  if (add_manual(&value, &list)) {
    if (list.count != 1) abort();
    const ml_sample_item &it = list.items[0];
    if (it.sample_len == 0 || it.sample_len > kDecodedMax || it.is_manual != 1) abort();
    if (it.sample_str[it.sample_len] != '\0' || it.pattern_count != 1) abort();
  } else if (list.count != 0) {
    abort();
  }
  ml_free_sample_items(&list);
  free(bytes);
  return 0;
}

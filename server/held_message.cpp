#include "server/held_message.h"

#include <stdlib.h>
#include <string.h>

#include "server/alloc.h"
#include "server/log_throttle.h"

namespace {

// Arrival numbers; main thread only (messages are made where they arrive).
uint64_t next_seq = 1;

held_message* new_message(unsigned char* bytes, uint32_t len) {
  held_message* m = static_cast<held_message*>(ss_malloc(sizeof(held_message)));
  m->bytes = bytes;
  m->len = len;
  m->seq = next_seq++;
  m->taken = monotonic_seconds();
  return m;
}

}  // namespace

held_message* held_message_copy(const void* data, uint32_t len) {
  unsigned char* bytes = nullptr;
  if (len > 0) {
    bytes = static_cast<unsigned char*>(ss_realloc(nullptr, len));
    memcpy(bytes, data, len);
  }
  return new_message(bytes, len);
}

held_message* held_message_adopt(unsigned char* bytes, uint32_t len) {
  if (len == 0) {
    free(bytes);
    bytes = nullptr;
  } else {
    // A stream buffer reserves ahead; what the message keeps is its length.
    bytes = static_cast<unsigned char*>(ss_realloc(bytes, len));
  }
  return new_message(bytes, len);
}

void held_message_free(held_message* m) {
  if (m == nullptr) return;
  free(m->bytes);
  free(m);
}

void held_list_push_back(held_list* list, held_message* m) {
  m->next = nullptr;
  m->prev = list->tail;
  if (list->tail != nullptr) {
    list->tail->next = m;
  } else {
    list->head = m;
  }
  list->tail = m;
  ++list->count;
  list->bytes += m->len;
}

void held_list_splice_front(held_list* list, held_list* front) {
  if (front->head == nullptr) return;
  front->tail->next = list->head;
  if (list->head != nullptr) {
    list->head->prev = front->tail;
  } else {
    list->tail = front->tail;
  }
  list->head = front->head;
  list->count += front->count;
  list->bytes += front->bytes;
  *front = held_list{};
}

void held_list_remove(held_list* list, held_message* m) {
  if (m->prev != nullptr) {
    m->prev->next = m->next;
  } else {
    list->head = m->next;
  }
  if (m->next != nullptr) {
    m->next->prev = m->prev;
  } else {
    list->tail = m->prev;
  }
  m->next = m->prev = nullptr;
  --list->count;
  list->bytes -= m->len;
}

held_message* held_list_pop_front(held_list* list) {
  held_message* m = list->head;
  if (m != nullptr) held_list_remove(list, m);
  return m;
}

uint32_t held_list_free_all(held_list* list) {
  const uint32_t count = list->count;
  while (held_message* m = held_list_pop_front(list)) held_message_free(m);
  return count;
}

// The list library: doubly linked lists whose nodes live in the caller's records.
#include "platform/rtos/rtos.h"

void lstInit(LIST* list) {
    list->node.next = nullptr;
    list->node.previous = nullptr;
    list->count = 0;
}

void lstInsert(LIST* list, NODE* prev, NODE* node) {
    NODE* next = prev ? prev->next : list->node.next;
    node->previous = prev;
    node->next = next;
    if (prev)
        prev->next = node;
    else
        list->node.next = node;
    if (next)
        next->previous = node;
    else
        list->node.previous = node;
    ++list->count;
}

void lstAdd(LIST* list, NODE* node) { lstInsert(list, list->node.previous, node); }

void lstDelete(LIST* list, NODE* node) {
    if (node->previous)
        node->previous->next = node->next;
    else
        list->node.next = node->next;
    if (node->next)
        node->next->previous = node->previous;
    else
        list->node.previous = node->previous;
    node->next = node->previous = nullptr;
    --list->count;
}

NODE* lstFirst(LIST* list) { return list->node.next; }
NODE* lstLast(LIST* list) { return list->node.previous; }
NODE* lstNext(NODE* node) { return node->next; }

NODE* lstGet(LIST* list) {
    NODE* node = list->node.next;
    if (node) lstDelete(list, node);
    return node;
}

int lstCount(LIST* list) { return list->count; }

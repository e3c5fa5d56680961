#include "morse/iambic_keyer.h"

namespace varkel {

namespace {

KeyerElement opposite(KeyerElement element) {
    return element == KeyerElement::dot ? KeyerElement::dash : KeyerElement::dot;
}

bool paddle_of(const IambicKeyer& keyer, KeyerElement element) {
    return element == KeyerElement::dot ? keyer.dit : keyer.dah;
}

bool& memory_of(IambicKeyer& keyer, KeyerElement element) {
    return element == KeyerElement::dot ? keyer.dit_memory : keyer.dah_memory;
}

// Starts the element at start; what is closed now already counts for the
// choice after it.
KeyerElement begin(IambicKeyer& keyer, KeyerElement element, int64_t start,
                   const KeyerTiming& timing) {
    keyer.sending = true;
    keyer.last = element;
    keyer.element_end = start + keyer_element_length(element, timing);
    keyer.due = keyer.element_end + timing.space;
    memory_of(keyer, element) = false;
    memory_of(keyer, opposite(element)) = paddle_of(keyer, opposite(element));
    keyer.squeeze_seen = keyer.dit && keyer.dah;
    return element;
}

}  // namespace

void keyer_reset(IambicKeyer& keyer, KeyerMode mode) {
    keyer = IambicKeyer{};
    keyer.mode = mode;
}

int64_t keyer_element_length(KeyerElement element, const KeyerTiming& timing) {
    switch (element) {
        case KeyerElement::dot:
            return timing.dot;
        case KeyerElement::dash:
            return timing.dash;
        case KeyerElement::none:
            break;
    }
    return 0;
}

KeyerElement keyer_paddles(IambicKeyer& keyer, bool dit, bool dah, int64_t now,
                           const KeyerTiming& timing) {
    const bool dit_closed = dit && !keyer.dit;
    const bool dah_closed = dah && !keyer.dah;
    keyer.dit = dit;
    keyer.dah = dah;
    if (!keyer.sending) {
        // Both at once, as one closure: the dot first.
        if (dit) {
            return begin(keyer, KeyerElement::dot, now, timing);
        }
        if (dah) {
            return begin(keyer, KeyerElement::dash, now, timing);
        }
        return KeyerElement::none;
    }
    const KeyerElement other = opposite(keyer.last);
    if (paddle_of(keyer, other)) {
        memory_of(keyer, other) = true;
    }
    // The element's own paddle asks again only once the element is over.
    const bool own_closed = keyer.last == KeyerElement::dot ? dit_closed : dah_closed;
    if (own_closed && now >= keyer.element_end) {
        memory_of(keyer, keyer.last) = true;
    }
    if (dit && dah) {
        keyer.squeeze_seen = true;
    } else if (!dit && !dah && keyer.squeeze_seen && keyer.mode == KeyerMode::iambic_a) {
        keyer.dit_memory = false;
        keyer.dah_memory = false;
        keyer.squeeze_seen = false;
    }
    return KeyerElement::none;
}

KeyerElement keyer_at_due(IambicKeyer& keyer, const KeyerTiming& timing) {
    if (!keyer.sending) {
        return KeyerElement::none;
    }
    const KeyerElement other = opposite(keyer.last);
    KeyerElement next = KeyerElement::none;
    if (memory_of(keyer, other) || paddle_of(keyer, other)) {
        next = other;
    } else if (paddle_of(keyer, keyer.last) || memory_of(keyer, keyer.last)) {
        next = keyer.last;
    }
    if (next == KeyerElement::none) {
        keyer.sending = false;
        keyer.dit_memory = false;
        keyer.dah_memory = false;
        keyer.squeeze_seen = false;
        return KeyerElement::none;
    }
    return begin(keyer, next, keyer.due, timing);
}

}  // namespace varkel

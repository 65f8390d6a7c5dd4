package vt;

/** Loaded only once a holding App is released, from whatever its archive then holds. */
class Late {
    static String text() {
        return "late class loaded";
    }
}

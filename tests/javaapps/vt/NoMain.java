package vt;

/** A class the launcher finds but cannot run: it has no main method. */
public class NoMain {
    public static void run(String[] args) {
    }
}

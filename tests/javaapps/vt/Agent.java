package vt;

/** A Java agent that does nothing (the test JAR names it Premain-Class). */
public class Agent {
    public static void premain(String arguments) {
    }
}

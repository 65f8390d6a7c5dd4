package com.example;

/** The demo application: greets, shows where it runs and what it was given. */
public class Hello {
    public static void main(String[] args) {
        System.out.println("Hello from a Vantrel launcher!");
        System.out.println("  Java " + System.getProperty("java.version") + " (" + System.getProperty("java.vendor") + ")");
        System.out.println("  launcher: " + System.getProperty("vantrel.exe.path"));
        System.out.println("  arguments: " + String.join(" | ", args));
    }
}

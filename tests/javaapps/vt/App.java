package vt;

import java.io.File;
import java.io.FileDescriptor;
import java.io.FileInputStream;
import java.io.IOException;
import java.io.PrintStream;
import java.io.FileOutputStream;
import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;

/**
 * The test application the launcher runs. It reports what it received, one
 * "key=value" line each (and where a relative path resolves), on a UTF-8
 * stdout, then prints what -Dapp.print asks on System.out and System.err,
 * then does what -Dapp.mode asks:
 * report (the default), throw, exit (status from -Dapp.status), thread (a
 * non-daemon thread outlives main by -Dapp.threadms, 300 ms by default, or
 * until the file -Dapp.threadfile names exists, at most 60 s),
 * hold (with arguments "--hold FILE", wait until FILE exists or a call of
 * main with "--release" asks, at most 60 s, then load a class not used
 * before; other arguments just report), gc (System.gc()
 * three times, then throw) or oom (fill the heap until the VM gives up).
 *
 * -Dapp.env=NAME,... prints "env NAME=value" for each environment variable.
 * -Dapp.print=STREAM:COUNT:WIDTH,... prints COUNT lines "STREAM i" on
 * System.out (STREAM "out") or System.err ("err"), each padded with '.' to
 * WIDTH characters; a COUNT of 0 prints one such text without a line end.
 */
public class App {
    static volatile boolean released;

    static final String[] PROPERTIES = {
        "user.dir", "vantrel.exe.path", "vantrel.csidl.appdata", "vantrel.csidl.local.appdata",
        "vantrel.csidl.personal", "vantrel.extract.path", "vantrel.appini.showconsole",
        "vantrel.service.name", "vantrel.service.description", "vantrel.service.starttype",
        "java.class.path", "app.mode",
    };

    public static void main(String[] args) throws Exception {
        PrintStream out = new PrintStream(new FileOutputStream(FileDescriptor.out), true, "UTF-8");
        out.println("app main");
        for (String option : ManagementFactory.getRuntimeMXBean().getInputArguments()) {
            out.println("vmarg=" + option);
        }
        out.println("argc=" + args.length);
        for (int i = 0; i < args.length; i++) {
            out.println("arg[" + i + "]=" + args[i]);
        }
        for (String name : PROPERTIES) {
            out.println("prop " + name + "=" + System.getProperty(name, "<absent>"));
        }
        // Where each way of resolving a relative path lands.
        String relative = "vt-where.txt";
        out.println("where file=" + new File(relative).getAbsolutePath());
        out.println("where path=" + Paths.get(relative).toAbsolutePath());
        out.println("where exists=" + new File(relative).exists() + "," + Files.exists(Paths.get(relative)));
        try (FileInputStream in = new FileInputStream(relative)) {
            out.println("where read=" + new String(in.readAllBytes(), StandardCharsets.UTF_8).trim());
        } catch (IOException e) {
            out.println("where read=<none>");
        }
        for (String name : System.getProperty("app.env", "").split(",")) {
            if (!name.isEmpty()) {
                out.println("env " + name + "=" + System.getenv(name));
            }
        }
        printRequested(System.getProperty("app.print", ""));
        switch (System.getProperty("app.mode", "report")) {
            case "throw":
                throw new IllegalStateException("app failure on purpose");
            case "gc":
                for (int i = 0; i < 3; i++) {
                    System.gc();
                }
                throw new IllegalStateException("app failure after gc");
            case "oom":
                java.util.List<long[]> hoard = new java.util.ArrayList<>();
                while (true) {
                    hoard.add(new long[1 << 20]);
                }
            case "exit":
                System.exit(Integer.getInteger("app.status", 3));
                break;
            case "thread":
                Thread worker = new Thread(() -> {
                    String until = System.getProperty("app.threadfile");
                    try {
                        if (until == null) {
                            Thread.sleep(Long.getLong("app.threadms", 300));
                        } else {
                            for (int i = 0; i < 6000 && !new java.io.File(until).exists(); ++i) Thread.sleep(10);
                        }
                    } catch (InterruptedException e) {
                        return;
                    }
                    out.println("thread done");
                });
                worker.setDaemon(false);
                worker.start();
                break;
            case "hold":
                if (args.length >= 1 && args[0].equals("--release")) {
                    released = true;
                }
                if (args.length >= 2 && args[0].equals("--hold")) {
                    out.println("holding");
                    Path file = Path.of(args[1]);
                    for (int i = 0; i < 1200 && !released && !Files.exists(file); i++) {
                        Thread.sleep(50);
                    }
                    out.println("released");
                    out.println(Late.text());
                }
                break;
            default:
                break;
        }
        out.println("main returns");
    }

    static void printRequested(String request) {
        for (String item : request.split(",")) {
            String[] parts = item.split(":");
            if (parts.length != 3) {
                continue;
            }
            PrintStream stream = parts[0].equals("err") ? System.err : System.out;
            int count = Integer.parseInt(parts[1]);
            int width = Integer.parseInt(parts[2]);
            for (int i = 0; i < Math.max(count, 1); i++) {
                StringBuilder line = new StringBuilder(parts[0] + " " + i);
                while (line.length() < width) {
                    line.append('.');
                }
                if (count == 0) {
                    stream.print(line);
                } else {
                    stream.println(line);
                }
            }
            stream.flush();
        }
    }
}

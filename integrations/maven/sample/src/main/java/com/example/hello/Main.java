package com.example.hello;

import org.apache.commons.cli.CommandLine;
import org.apache.commons.cli.DefaultParser;
import org.apache.commons.cli.Options;
import org.apache.commons.lang3.StringUtils;
import org.apache.commons.text.WordUtils;

public class Main {
    public static void main(String[] args) throws Exception {
        Options options = new Options();
        options.addOption("n", "name", true, "who to greet");
        CommandLine line = new DefaultParser().parse(options, args);
        String name = line.getOptionValue("n", "world");
        String greeting = System.getProperty("hello.greeting", "Hello");
        System.out.println(greeting + ", " + WordUtils.capitalize(name) + "!");
        System.out.println("rest: " + StringUtils.join(line.getArgList(), "|"));
        System.out.println("packed: " + System.getProperty("hello.packed", "no"));
    }
}

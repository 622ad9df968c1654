package sample;

import org.apache.commons.cli.CommandLine;
import org.apache.commons.cli.DefaultParser;
import org.apache.commons.cli.Options;

public class Count {
    public static void main(String[] args) throws Exception {
        Options options = new Options();
        options.addOption("u", "upper", false, "upper-case the words");
        CommandLine line = new DefaultParser().parse(options, args);
        int n = 0;
        for (String word : line.getArgList()) {
            n++;
            System.out.println(n + ": " + (line.hasOption("u") ? word.toUpperCase() : word));
        }
        System.out.println(n + " words, mode " + System.getProperty("count.mode", "plain"));
    }
}
